#pragma once

#include <QByteArray>
#include <QStringList>

// Whether file dialogs go through the desktop's portal (the file chooser the desktop itself
// draws) or stay Qt's own. Qt picks its platform theme once, while the application object is
// made, so the choice is made before that.
namespace PortalDialogs {

// What the choice depends on; read from the process for real runs, given by tests.
struct Session
{
    QByteArray themeVariable;  // QT_QPA_PLATFORMTHEME
    bool themeArgument = false; // -platformtheme on the command line
    bool hasSessionBus = false;
    QStringList dataDirectories; // XDG_DATA_HOME first, then XDG_DATA_DIRS
};

Session currentSession(int argc, char **argv);

// True when the user chose no theme and the session bus can start a portal that implements
// the file chooser. Qt's portal dialog never falls back by itself: without a portal answering,
// Save and Open would close at once, having shown nothing.
bool usePortal(const Session &session);

// Call first in main: selects the portal theme for this process when usePortal says so. The
// choice is not handed on to the programs the app starts.
void chooseForThisProcess(int argc, char **argv);

} // namespace PortalDialogs
