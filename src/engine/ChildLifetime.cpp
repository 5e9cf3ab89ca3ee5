#include "engine/ChildLifetime.h"

#include <QProcess>

#include <csignal>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace ChildLifetime {

void endWithParent(QProcess *process)
{
#ifdef Q_OS_LINUX
    const pid_t parent = ::getpid();
    // Runs in the child between fork and exec: only async-signal-safe calls.
    process->setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // The app may have died before the line above took effect.
        if (::getppid() != parent)
            ::_exit(1);
    });
#else
    Q_UNUSED(process);
#endif
}

} // namespace ChildLifetime
