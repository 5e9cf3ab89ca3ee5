#include "AppModel.h"
#include "DesktopColorScheme.h"
#include "TrayMenu.h"

#include <QApplication>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QQuickWindow>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Morlo AI"));
    QApplication::setOrganizationName(QStringLiteral("Morlo AI"));
    QApplication::setApplicationDisplayName(QStringLiteral("Morlo AI"));
    QApplication::setDesktopFileName(QStringLiteral("morlo-ai"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/app/desktop/morlo-ai.svg")));
    // Closing the window keeps the app in the tray when there is one.
    QApplication::setQuitOnLastWindowClosed(!QSystemTrayIcon::isSystemTrayAvailable());

    DesktopColorScheme colorScheme;
    colorScheme.follow();

    AppModel app;
    QQmlApplicationEngine engine;
    if (!app.loadMainWindow(engine))
        return 1;
    TrayMenu tray(&app, qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst()));
    QObject::connect(&application, &QApplication::aboutToQuit, &app, &AppModel::shutDown);
    return QApplication::exec();
}
