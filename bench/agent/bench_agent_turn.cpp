// Whole turns against the fake engine streaming 1k, 16k and 64k fragments as fast as it can.
// Prints the median cost per fragment of a turn (wall time of the turn / fragments) and how the
// 64k figure compares with the 1k one: flat cost per fragment means a ratio near 1.
#include "agent/AgentManager.h"
#include "conversation/AgentState.h"
#include "conversation/MessageListModel.h"
#include "engine/ServerManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QEventLoop>
#include <QTcpServer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <qcorotask.h>

namespace {

constexpr int runsPerSize = 5;

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Median milliseconds per fragment over several turns, each streaming `fragments` fragments.
double costPerFragment(const QString &workDir, int fragments)
{
    const QString script = workDir + QStringLiteral("/script-%1.json").arg(fragments);
    QFile file(script);
    file.open(QIODevice::WriteOnly);
    file.write(QJsonDocument(QJsonObject{
                                 {"loadMs", 0},
                                 {"replies", QJsonArray{QJsonObject{{"repeat", fragments}, {"chunk", "tok "}}}}})
                   .toJson());
    file.close();
    qputenv("MORLO_FAKE_ENGINE_SCRIPT", script.toUtf8());

    EngineEnvironment environment = EngineEnvironment::standard();
    environment.engineCandidates = {QStringLiteral(MORLO_FAKES_DIR "/fake-llama-server")};
    environment.port = freePort();
    environment.pollIntervalMs = 20;
    environment.enginePidFile = workDir + QStringLiteral("/engine.pid");
    environment.metalStubDirectory = workDir + QStringLiteral("/metal-stub");
    ServerManager server(environment, nullptr);
    const QString model = workDir + QStringLiteral("/tiny.gguf");
    QFile modelFile(model);
    modelFile.open(QIODevice::WriteOnly);
    modelFile.write("GGUF");
    modelFile.close();
    QCoro::waitFor(server.startServer(model, QStringLiteral("Tiny")));
    if (!server.isRunning()) {
        std::fprintf(stderr, "the fake engine did not start: %s\n", qPrintable(server.statusMessage()));
        std::exit(1);
    }

    AgentState state;
    // The chat view's list model follows every replaced message, as in the app.
    MessageListModel listModel(&state);
    AgentManager agent(&state, &server, nullptr);
    QList<double> perFragment;
    // The first turn pays for first use (connection, the chime's loading) and is not counted.
    for (int run = 0; run <= runsPerSize; ++run) {
        QEventLoop loop;
        QObject::connect(&agent, &AgentManager::turnFinished, &loop, &QEventLoop::quit);
        QElapsedTimer clock;
        clock.start();
        agent.sendMessage(QStringLiteral("stream please"));
        loop.exec();
        const double ms = clock.nsecsElapsed() / 1e6;
        if (state.messages().last().content.size() != fragments * 4 - 1) {
            std::fprintf(stderr, "unexpected reply length %lld\n", qlonglong(state.messages().last().content.size()));
            std::exit(1);
        }
        if (run > 0)
            perFragment.append(ms / fragments);
        state.clearAllChats();
    }
    QCoro::waitFor(server.stopServer());
    return median(perFragment);
}

} // namespace

int main(int argc, char *argv[])
{
    // Keep the bench away from the user's conversations and settings.
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + "/.local/share").toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
    QCoreApplication app(argc, argv);

    const int sizes[] = {1000, 16000, 64000};
    QList<double> figures;
    for (const int fragments : sizes) {
        const double ms = costPerFragment(home.path(), fragments);
        figures.append(ms);
        std::printf("agent turn, %6d fragments: median %.4f ms per fragment\n", fragments, ms);
        std::fflush(stdout);
    }
    std::printf("agent turn, 64k/1k cost ratio: %.2f (goal <= 1.5); 64k/16k: %.2f; "
                "16k goal < 0.1 ms per fragment\n",
                figures.at(2) / figures.at(0), figures.at(2) / figures.at(1));
    return 0;
}
