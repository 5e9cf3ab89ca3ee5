#include "AppModel.h"
#include "CommandLine.h"
#include "QuitSignals.h"
#include "SingleInstance.h"
#include "DesktopColorScheme.h"
#include "TrayMenu.h"
#include "platform/AppIdentity.h"
#include "platform/PortalDialogs.h"

#include <QApplication>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QQuickWindow>

int main(int argc, char *argv[])
{
    if (const auto exitCode = CommandLine::handle(argc, argv))
        return *exitCode;
    PortalDialogs::chooseForThisProcess(argc, argv);
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Morlo AI"));
    QApplication::setOrganizationName(QStringLiteral("Morlo AI"));
    QApplication::setApplicationDisplayName(QStringLiteral("Morlo AI"));
    QApplication::setDesktopFileName(AppIdentity::applicationId());
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/app/desktop/ai.morlo.MorloAI.svg")));
    // Closing the window keeps the app in the tray when there is one.
    QApplication::setQuitOnLastWindowClosed(!QSystemTrayIcon::isSystemTrayAvailable());

    // Before anything reads or writes the data folder: a second start hands over and ends.
    SingleInstance instance(SingleInstance::standardDataFolder());
    if (!instance.claim())
        return 0;
    DesktopColorScheme colorScheme;
    colorScheme.follow();

    AppModel app;
    QQmlApplicationEngine engine;
    if (!app.loadMainWindow(engine))
        return 1;
    TrayMenu tray(&app, qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst()));
    QObject::connect(&instance, &SingleInstance::activationRequested, &tray, &TrayMenu::bringToFront);
    QObject::connect(&application, &QApplication::aboutToQuit, &app, &AppModel::shutDown);
    const QuitSignals quitSignals;
    return QApplication::exec();
}
