#pragma once

class QProcess;

// Ties a child process to the app: when the app ends in any way, SIGKILL included, the system
// sends the child SIGTERM. An engine that outlived the app would hold its port and its memory.
namespace ChildLifetime {

// Call before start(); the process must be started from the thread that lives as long as the
// app (the GUI thread), since the system watches the thread that started it.
void endWithParent(QProcess *process);

} // namespace ChildLifetime
