// The app's core (engine manager, completions client, agent) against real llama-server builds,
// an early-2025 one and a mid-2026 one, each on the tiny model of the test fixture. Ports: the
// first of each range is one the system reports free, so parallel tests never collide.
#include "agent/AgentManager.h"
#include "conversation/AgentState.h"
#include "engine/EnginePort.h"
#include "engine/ServerManager.h"
#include "llm/LLMClient.h"
#include "EngineFixture.h"
#include "TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <qcorotask.h>

#include <csignal>

namespace {

// The pid of the engine the manager started, from the record it keeps for a later run.
qint64 enginePid(const EngineFixture &fixture)
{
    QFile record(fixture.environment.enginePidFile);
    return record.open(QIODevice::ReadOnly) ? record.readLine().trimmed().toLongLong() : 0;
}

// A real engine's load is quick but not instant on a busy machine; give it room.
void useRealEngine(EngineFixture &fixture, const QString &executable)
{
    fixture.environment.engineCandidates = {executable};
    fixture.environment.pollIntervalMs = 100;
    fixture.environment.lastPoll = 600;
    fixture.environment.stopGraceMs = 5000;
}

} // namespace

class TestRealEngine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { MORLO_REQUIRE_REAL_ENGINES(); }
    void init() { TestSupport::resetUserData(); }

    void lifecycle_data()
    {
        QTest::addColumn<QString>("executable");
        for (const TestSupport::RealEngine &engine : TestSupport::realEngines())
            QTest::newRow(qPrintable(engine.name)) << engine.executable;
    }

    // Another server already holds the usual port; ours starts beside it, serves streamed turns
    // with the tools offered, refuses strangers, is noticed when killed, loads again, and
    // leaves nothing behind when stopped or destroyed.
    void lifecycle()
    {
        QFETCH(QString, executable);
        const bool oldEngine = executable.endsWith(QLatin1String("b4748"));
        EngineFixture fixture;
        useRealEngine(fixture, executable);
        const int usualPort = fixture.environment.port;

        // The other engine binds so that a second one on its port would share it.
        QProcess foreign;
        foreign.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        foreign.setStandardErrorFile(QProcess::nullDevice());
        foreign.start(executable, {"--model", TestSupport::realTinyModel(), "--port", QString::number(usualPort),
                                   "--host", "127.0.0.1", "--ctx-size", "256", "--alias", "foreign"});
        const auto endForeign = qScopeGuard([&] { foreign.kill(); foreign.waitForFinished(); });
        QTRY_VERIFY_WITH_TIMEOUT(EnginePort::isListening(usualPort), 10000);

        AgentState state;
        state.setMaxTokens(4);
        auto server = std::make_unique<ServerManager>(fixture.environment, nullptr);
        QCoro::waitFor(server->startServer(TestSupport::realTinyModel(), QStringLiteral("Tiny")));
        QCOMPARE(server->statusMessage(), QStringLiteral("Ready — Tiny"));
        QVERIFY(server->port() > usualPort);
        const qint64 pid = enginePid(fixture);
        QVERIFY(isAlive(pid));

        // Streamed turns: the engine's own speed figure is shown; the old engine refuses tools
        // with streaming once, after which turns go without them.
        AgentManager agent(&state, server.get(), nullptr);
        QSignalSpy finished(&agent, &AgentManager::turnFinished);
        for (int turn = 1; turn <= 2; ++turn) {
            agent.sendMessage(QStringLiteral("Hello"));
            QVERIFY(finished.wait(60000));
            const Message &reply = state.messages().last();
            QCOMPARE(reply.role, Roles::assistant);
            QVERIFY2(!reply.content.startsWith(QStringLiteral("Error")), qPrintable(reply.content));
            QVERIFY(state.tokensPerSecond() > 0);
            QCOMPARE(state.messages().size(), 2 * turn);
        }
        QCOMPARE(agent.llmClient()->refusesTools(), oldEngine);

        // Only the app holds the key; the foreign engine never answered for ours.
        LLMClient stranger;
        for (const QString &key : {QString(), QStringLiteral("guess")}) {
            stranger.setEndpoint(agent.llmClient()->baseUrl(), key);
            const LLMResult refused = QCoro::waitFor(stranger.streamChat({Message::make(Roles::user, "Hi")}, QString(),
                                                                         0.7, 2, {}, {}));
            QVERIFY(std::holds_alternative<LLMError>(refused));
            QCOMPARE(std::get<LLMError>(refused).code, 401);
        }

        // Killed while answering: the turn ends with an error under what it had shown, the
        // engine is reported stopped, and the model can be loaded again.
        state.setMaxTokens(400);
        agent.sendMessage(QStringLiteral("Tell me a long story"));
        QTRY_VERIFY_WITH_TIMEOUT(!state.currentStreamingContent().isEmpty(), 60000);
        ::kill(pid_t(pid), SIGKILL);
        QVERIFY(finished.wait(20000));
        QVERIFY2(state.messages().last().content.startsWith(QStringLiteral("Error: ")), qPrintable(state.messages().last().content));
        QTRY_COMPARE(server->statusMessage(), QStringLiteral("Engine stopped unexpectedly — see error below"));
        QVERIFY(!server->isRunning() && server->stoppedUnexpectedly());
        QCOMPARE(server->activeModelName(), std::optional(QStringLiteral("Tiny")));
        QVERIFY(server->lastLaunchErrorText().endsWith(QStringLiteral("[crash signal 9]")));
        QCOMPARE(server->failureNotice(), QStringLiteral("Engine stopped unexpectedly — see Models"));

        server->reload();
        QTRY_COMPARE_WITH_TIMEOUT(server->statusMessage(), QStringLiteral("Ready — Tiny"), 60000);
        const qint64 second = enginePid(fixture);
        const int port = server->port();
        QCoro::waitFor(server->stopServer());
        QVERIFY(!isAlive(second));
        QVERIFY(!EnginePort::isListening(port));
        QCOMPARE(server->statusMessage(), QStringLiteral("No model loaded"));

        // An app that goes away takes its engine along.
        QCoro::waitFor(server->startServer(TestSupport::realTinyModel(), QStringLiteral("Tiny")));
        QVERIFY(server->isRunning());
        const qint64 third = enginePid(fixture);
        server.reset();
        QVERIFY(!isAlive(third));
        QVERIFY(foreign.state() == QProcess::Running);
    }

    void startFailures_data() { lifecycle_data(); }

    // A file that is no model: the engine's own log says why, as it is what the user reads.
    void startFailures()
    {
        QFETCH(QString, executable);
        EngineFixture fixture;
        useRealEngine(fixture, executable);
        const QString model = fixture.path(QStringLiteral("notes.gguf"));
        QFile file(model);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(4096, 'x')) > 0);
        file.close();
        ServerManager server(fixture.environment, nullptr);
        QCoro::waitFor(server.startServer(model, QStringLiteral("Notes")));
        QCOMPARE(server.statusMessage(), QStringLiteral("Failed to start — see error below"));
        QVERIFY(!server.isRunning() && !server.isStarting());
        const QString log = server.lastLaunchErrorText();
        // The engine's own lines, not only how it ended. (The early-2025 build aborts from another
        // thread while it writes, so which of its lines made it out varies.)
        QVERIFY2(log.contains(model) || log.contains(QStringLiteral("system_info: n_threads")), qPrintable(log.right(1500)));
        QVERIFY(log.contains(QStringLiteral("\n[exit ")) || log.contains(QStringLiteral("\n[crash signal ")));
        QCOMPARE(server.failureNotice(), QStringLiteral("Loading Notes failed — see Models"));
        QVERIFY(!QFile::exists(fixture.environment.enginePidFile));
    }
};

QTEST_MAIN(TestRealEngine)
#include "tst_real_engine.moc"
