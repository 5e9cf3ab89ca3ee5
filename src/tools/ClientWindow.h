#pragma once

#include <QList>
#include <QString>
#include <optional>
#include <sys/types.h>

// A top-level window the window manager lists on the X server, with the process of this
// computer that says it owns it.
struct ClientWindow
{
    pid_t pid = 0;
    QString instance;    // WM_CLASS, first part: "xclock"
    QString windowClass; // WM_CLASS, second part: "XClock"

    // The listed windows of this computer's processes. None when no X server answers, when the
    // session is Wayland (its X server lists only the few X clients) or when no window manager
    // keeps the list: then nobody can tell which processes own which windows.
    static std::optional<QList<ClientWindow>> listed();
};
