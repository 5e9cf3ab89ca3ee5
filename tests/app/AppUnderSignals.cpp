// The application put together as main() does, on the engine and model named on its command
// line: it loads the model, answers one message, then waits to be ended by a signal. It writes
// "ready" and "answered" on standard output so a test knows when to end it.
#include "AppModel.h"
#include "QuitSignals.h"
#include "engine/EngineEnvironment.h"

#include <QApplication>
#include <QQmlApplicationEngine>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Morlo AI"));
    QApplication::setOrganizationName(QStringLiteral("Morlo AI"));
    const QStringList args = application.arguments(); // engine, model, first port, message
    if (args.size() != 5)
        return 2;
    EngineEnvironment environment = EngineEnvironment::standard();
    environment.engineCandidates = {args.at(1)};
    environment.port = args.at(3).toInt();

    AppModel app(environment, nullptr);
    QQmlApplicationEngine engine;
    if (!app.loadMainWindow(engine))
        return 1;
    QObject::connect(&application, &QApplication::aboutToQuit, &app, &AppModel::shutDown);
    const QuitSignals quitSignals;

    QTextStream out(stdout);
    QObject::connect(app.serverManager(), &ServerManager::isRunningChanged, &app, [&] {
        if (!app.serverManager()->isRunning())
            return;
        out << "ready" << Qt::endl;
        app.agentManager()->sendMessage(args.at(4));
    });
    QObject::connect(app.agentManager(), &AgentManager::turnFinished, &app, [&] { out << "answered" << Qt::endl; });
    app.serverManager()->start(args.at(2), QStringLiteral("Tiny"));
    return QApplication::exec();
}
