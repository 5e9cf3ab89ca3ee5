#pragma once

#include "tools/ActionError.h"
#include "tools/UserProcess.h"

#include <QString>

// Opens and quits desktop applications through a small scripting service, lists the running
// ones and reports on the system. Holds no state.
//
// The service understands the two scripts the app writes, with NAME a desktop application's
// Name or desktop-file id:
//   tell application "NAME" to activate   starts the application unless it already runs
//   tell application "NAME" to quit       asks the user's processes of it to end (SIGTERM): those
//                                         running its program that own a window of its class
// Any other text does not compile.
namespace AppleScriptExecutor {

// The script's result text (empty for both commands), or why it did not compile or run.
TextResult runAppleScript(const QString &source);

// What quitting NAME will end, found once: the approval card shows the preview ("Ends 2
// processes: xclock (4242), …", or why it ends none) and closing ends exactly these processes.
struct QuitPlan
{
    QList<UserProcess> processes;
    QString preview;
};
QuitPlan planQuit(const QString &name);

// "Opened NAME" / "Closed NAME", or "Error: " + the service's description. Closing ends the
// planned processes that still run, never others that appeared since.
QString openApp(const QString &name);
QString closeApp(const QString &name, const QList<UserProcess> &planned);

// Names of the running desktop applications, sorted by code point, one per line.
QString listRunningApps();

// Four lines: the system, memory, disk space of "/" and processor count.
QString systemInfo();

} // namespace AppleScriptExecutor
