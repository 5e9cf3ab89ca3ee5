#include "PortalDialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <cstring>

namespace PortalDialogs {

namespace {
const char *const themeVariable = "QT_QPA_PLATFORMTHEME";

// The portal service, and a backend of it for the desktop that draws file choosers.
bool portalInstalled(const QStringList &dataDirectories)
{
    bool service = false;
    bool fileChooser = false;
    for (const QString &dir : dataDirectories) {
        service = service || QFileInfo::exists(dir + QStringLiteral("/dbus-1/services/org.freedesktop.portal.Desktop.service"));
        const QDir portals(dir + QStringLiteral("/xdg-desktop-portal/portals"));
        // Desktop-entry style: "Interfaces=a;b;" (not INI: the semicolons separate, not comment).
        for (const QString &name : portals.entryList({QStringLiteral("*.portal")}, QDir::Files)) {
            QFile backend(portals.filePath(name));
            if (!backend.open(QIODevice::ReadOnly | QIODevice::Text))
                continue;
            for (const QByteArray &line : backend.readAll().split('\n'))
                if (line.trimmed().startsWith("Interfaces=")
                    && line.trimmed().mid(11).split(';').contains("org.freedesktop.impl.portal.FileChooser"))
                    fileChooser = true;
        }
    }
    return service && fileChooser;
}
} // namespace

Session currentSession(int argc, char **argv)
{
    Session session;
    session.themeVariable = qgetenv(themeVariable);
    for (int i = 1; i < argc; ++i)
        session.themeArgument = session.themeArgument || !std::strcmp(argv[i], "-platformtheme")
                                || !std::strcmp(argv[i], "--platformtheme");
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    session.hasSessionBus = !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")
                            || (!runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus")));
    session.dataDirectories << qEnvironmentVariable("XDG_DATA_HOME", QDir::homePath() + QStringLiteral("/.local/share"));
    session.dataDirectories << qEnvironmentVariable("XDG_DATA_DIRS", QStringLiteral("/usr/local/share:/usr/share"))
                                   .split(QLatin1Char(':'), Qt::SkipEmptyParts);
    return session;
}

bool usePortal(const Session &session)
{
    return session.themeVariable.isEmpty() && !session.themeArgument && session.hasSessionBus
           && portalInstalled(session.dataDirectories);
}

void chooseForThisProcess(int argc, char **argv)
{
    if (!usePortal(currentSession(argc, argv)))
        return;
    qputenv(themeVariable, "xdgdesktopportal");
    // Runs inside the application object's constructor, once Qt has made its theme, so that
    // engines, installers and browsers started later see the environment the user gave.
    qAddPreRoutine([] { qunsetenv(themeVariable); });
}

} // namespace PortalDialogs
