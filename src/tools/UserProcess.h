#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>
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
    quint64 started = 0;    // when it started, in clock ticks since boot: a reused pid differs

    // Whether this process is that application: the same executable, started with the entry's
    // fixed arguments first.
    bool belongsTo(const DesktopEntry &entry) const;

    // Asks the process to end (SIGTERM), after checking the pid still names this very process
    // (same executable, same start) and the user's own, since the pid may have been reused.
    bool terminate() const;

    static QList<UserProcess> running();
    // The process with this pid, when it is one that would be listed.
    static std::optional<UserProcess> read(pid_t pid);
};
