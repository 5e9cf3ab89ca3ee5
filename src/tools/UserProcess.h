#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <sys/types.h>

struct DesktopEntry;

// A process of the user running this app, as the system lists it under /proc. Processes of
// other users, the init process, kernel threads and this app itself are never listed, so
// nothing here can reach them.
struct UserProcess
{
    pid_t pid = 0;
    QString program;        // the running executable, links resolved
    QStringList arguments;  // the command line after the program name

    // Whether this process is that application: the same executable, started with the entry's
    // fixed arguments first.
    bool belongsTo(const DesktopEntry &entry) const;

    // Asks the process to end (SIGTERM), after checking it is still the user's own.
    bool terminate() const;

    static QList<UserProcess> running();
};
