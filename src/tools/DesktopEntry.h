#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// An installed desktop application, read from a freedesktop ".desktop" file in the XDG data
// folders. The program and its fixed arguments are what ties running processes to the entry.
struct DesktopEntry
{
    QString id;             // "org.example.App.desktop"; sub-folders joined with "-"
    QString name;           // Name in the user's language when the entry has one
    QStringList names;      // every Name the entry carries, for finding it by name
    QString command;        // the program to start, as found on the PATH (its name may matter to it)
    QString program;        // the same with links resolved: what a running process shows
    QStringList arguments;  // fixed arguments after the program, launch field codes dropped
    QString workingDirectory;
    QString startupWMClass; // the WM_CLASS its windows carry, when the entry says
    bool visible = false;   // shown in menus: not NoDisplay

    // Whether NAME names this entry: its Name (any language) or its id, with or without
    // ".desktop", ignoring letter case.
    bool isNamed(const QString &name) const;

    // Whether a window of this WM_CLASS is this application's, the way the desktop groups
    // windows under entries: StartupWMClass names the window's instance or class exactly;
    // without it, the entry's id (without ".desktop") does, ignoring letter case.
    bool ownsWindowClass(const QString &instance, const QString &windowClass) const;

    // Parses one entry; none when it is not a launchable application.
    static std::optional<DesktopEntry> parse(const QByteArray &contents, const QString &id);

    // Every installed application, the user's own entries first; an id found in a later folder
    // is hidden by the earlier one.
    static QList<DesktopEntry> installed();

    // The first installed application named NAME that is shown in menus.
    static std::optional<DesktopEntry> find(const QString &name);
};
