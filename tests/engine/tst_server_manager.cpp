#include "EngineFixture.h"
#include "engine/ServerManager.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>
#include <qcorotask.h>

#include <csignal>

Q_DECLARE_METATYPE(std::optional<int>)
Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

const QString modelPath = QStringLiteral("/models/tiny.gguf");

QStringList baseArguments(int port, const QString &context)
{
    return {QStringLiteral("--model"), modelPath, QStringLiteral("--ctx-size"), context,
            QStringLiteral("--port"), QString::number(port), QStringLiteral("--host"),
            QStringLiteral("127.0.0.1"), QStringLiteral("--n-predict"), QStringLiteral("-1")};
}

qint64 recordedPid(const EngineFixture &fixture)
{
    QFile file(fixture.path(QStringLiteral("engine.pid")));
    return file.open(QIODevice::ReadOnly) ? file.readLine().trimmed().toLongLong() : 0;
}

bool isAlive(qint64 pid)
{
    // Ended processes (zombies included) no longer show their executable.
    return !QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget().isEmpty();
}

} // namespace

class TestServerManager : public QObject
{
    Q_OBJECT

private slots:
    void discovery_data();
    void discovery();
    void launch_data();
    void launch();
    void readinessWaitsForTheModel();
    void timeout_data();
    void timeout();
    void floodedPipesKeepTheTailOfTheLog();
    void launchRefused();
    void secondStartIsIgnoredAndRestartStopsFirst();
    void stop_data();
    void stop();
    void stopDuringStartEndsIt();
    void leftoverEngine_data();
    void leftoverEngine();
};

void TestServerManager::discovery_data()
{
    // One letter per candidate, in order: x executable, f plain file, - absent.
    QTest::addColumn<QString>("files");
    QTest::addColumn<int>("expected");
    QTest::newRow("first wins") << "xxxxxx" << 0;
    QTest::newRow("only the second llama-cli") << "---x--" << 3;
    QTest::newRow("plain files are skipped") << "ff-x-x" << 3;
    QTest::newRow("distribution package last") << "fffffx" << 5;
    QTest::newRow("none executable") << "ffffff" << -1;
}

void TestServerManager::discovery()
{
    QFETCH(QString, files);
    QFETCH(int, expected);
    EngineFixture fixture;
    fixture.environment.engineCandidates.clear();
    for (int i = 0; i < files.size(); ++i) {
        const QString candidate = fixture.path(QStringLiteral("candidate%1").arg(i));
        fixture.environment.engineCandidates << candidate;
        if (files.at(i) == QLatin1Char('-'))
            continue;
        QFile::copy(EngineFixture::fakeEngine(), candidate);
        QFile::setPermissions(candidate, files.at(i) == QLatin1Char('x')
                                  ? QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                  : QFile::ReadOwner | QFile::WriteOwner);
    }
    ServerManager manager(fixture.environment, nullptr);
    QCOMPARE(manager.engineExecutablePath(),
             expected < 0 ? std::nullopt : std::optional(fixture.environment.engineCandidates.at(expected)));
    QCOMPARE(manager.isEngineInstalled(), expected >= 0);
    if (expected >= 0)
        return;
    QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny")));
    QCOMPARE(manager.statusMessage(), QStringLiteral("AI engine not found — install llama.cpp via Homebrew in Settings"));
    QVERIFY(!manager.isStarting());
    QVERIFY(fixture.launches().isEmpty());
}

void TestServerManager::launch_data()
{
    QTest::addColumn<std::optional<int>>("gpuLayers");
    QTest::addColumn<bool>("noMmap");
    QTest::addColumn<std::optional<int>>("contextSize");
    QTest::addColumn<bool>("stubBuilt");
    QTest::addColumn<QStringList>("extraArguments");
    QTest::addColumn<QString>("starting");
    QTest::addColumn<QString>("ready");
    QTest::addColumn<bool>("stubInLibraryPath");

    const std::optional<int> none;
    QTest::newRow("defaults") << none << false << none << true << QStringList()
                              << "Starting Tiny…" << "Ready — Tiny" << false;
    QTest::newRow("small context") << none << false << std::optional(2048) << false << QStringList()
                                   << "Starting Tiny (ctx 2048)…" << "Ready — Tiny" << false;
    QTest::newRow("cpu only with the substitute library")
        << std::optional(0) << false << none << true
        << QStringList{"--n-gpu-layers", "0"} << "Starting Tiny (CPU only)…" << "Ready — Tiny (CPU only)" << true;
    QTest::newRow("cpu only, no mapping, small context, no library")
        << std::optional(0) << true << std::optional(2048) << false
        << QStringList{"--n-gpu-layers", "0", "--no-mmap"}
        << "Starting Tiny (CPU only) (no-mmap) (ctx 2048)…" << "Ready — Tiny (CPU only)" << false;
    QTest::newRow("explicit gpu layers") << std::optional(33) << false << none << true
                                         << QStringList{"--n-gpu-layers", "33"} << "Starting Tiny…"
                                         << "Ready — Tiny" << false;
}

void TestServerManager::launch()
{
    QFETCH(std::optional<int>, gpuLayers);
    QFETCH(bool, noMmap);
    QFETCH(std::optional<int>, contextSize);
    QFETCH(bool, stubBuilt);
    QFETCH(QStringList, extraArguments);
    QFETCH(QString, starting);
    QFETCH(QString, ready);
    QFETCH(bool, stubInLibraryPath);

    EngineFixture fixture;
    fixture.setEngineScript({{"loadMs", 100}});
    if (stubBuilt) {
        QDir().mkpath(fixture.environment.metalStubDirectory);
        QFile library(fixture.environment.metalStubDirectory + QStringLiteral("/libggml-metal.0.dylib"));
        QVERIFY(library.open(QIODevice::WriteOnly));
    }
    // The engine gets a copy of our environment; only a CPU-only start with the library
    // replaces the loader path.
    qputenv("DYLD_LIBRARY_PATH", "/inherited");
    ServerManager manager(fixture.environment, nullptr);
    QStringList *statuses = EngineFixture::recordStatuses(manager);
    bool modelShownBeforeReady = false;
    connect(&manager, &ServerManager::activeModelChanged, &manager,
            [&] { modelShownBeforeReady = modelShownBeforeReady || !manager.isRunning(); });

    QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny"), gpuLayers, std::nullopt, noMmap, contextSize));
    qunsetenv("DYLD_LIBRARY_PATH");

    QCOMPARE(statuses->value(0), starting);
    QCOMPARE(manager.statusMessage(), ready);
    QVERIFY(manager.isRunning());
    QVERIFY(!manager.isStarting());
    QVERIFY(!modelShownBeforeReady);
    QCOMPARE(manager.activeModelPath(), std::optional(modelPath));
    QCOMPARE(manager.activeModelName(), std::optional(QStringLiteral("Tiny")));
    QCOMPARE(manager.lastLaunchError(), std::nullopt);

    const QList<QJsonObject> launches = fixture.launches();
    QCOMPARE(launches.size(), 1);
    QCOMPARE(EngineFixture::arguments(launches.first()),
             baseArguments(fixture.environment.port, contextSize ? QStringLiteral("2048") : QStringLiteral("8192"))
                 + extraArguments);
    QCOMPARE(EngineFixture::libraryPath(launches.first()),
             stubInLibraryPath ? fixture.environment.metalStubDirectory : QStringLiteral("/inherited"));
    QVERIFY(QCoro::waitFor(manager.checkHealth()));
    QCoro::waitFor(manager.stopServer());
}

void TestServerManager::readinessWaitsForTheModel()
{
    EngineFixture fixture;
    fixture.setEngineScript({{"loadMs", 700}});
    ServerManager manager(fixture.environment, nullptr);
    QVERIFY(!QCoro::waitFor(manager.checkHealth())); // nothing listens yet
    QStringList *statuses = EngineFixture::recordStatuses(manager);
    QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny")));

    // 503 while loading keeps the loop polling; every tenth poll tells how long it has been.
    QVERIFY2(statuses->contains(QStringLiteral("Loading… 5s (large models take up to 60s)")), qPrintable(statuses->join('|')));
    QVERIFY(statuses->contains(QStringLiteral("Loading… 10s (large models take up to 60s)")));
    QCOMPARE(statuses->last(), QStringLiteral("Ready — Tiny"));
    QVERIFY(manager.isRunning());
    QCoro::waitFor(manager.stopServer());
}

void TestServerManager::timeout_data()
{
    QTest::addColumn<QJsonObject>("script");
    QTest::addColumn<std::optional<QString>>("expectedError");
    QTest::newRow("still loading") << QJsonObject{{"loadMs", 600000}, {"stderr", "  loading tensors\n"}}
                                   << std::optional(QStringLiteral("loading tensors"));
    QTest::newRow("hung before binding") << QJsonObject{{"hang", true}}
                                         << std::optional<QString>();
    QTest::newRow("ignores terminate") << QJsonObject{{"hang", true}, {"ignoreSigterm", true}, {"stderr", "stuck"}}
                                       << std::optional(QStringLiteral("stuck"));
}

void TestServerManager::timeout()
{
    QFETCH(QJsonObject, script);
    QFETCH(std::optional<QString>, expectedError);
    EngineFixture fixture;
    fixture.environment.lastPoll = 10;
    fixture.setEngineScript(script);
    ServerManager manager(fixture.environment, nullptr);
    QStringList *statuses = EngineFixture::recordStatuses(manager);
    qint64 pid = 0;
    connect(&manager, &ServerManager::statusMessageChanged, &manager, [&] {
        if (!pid)
            pid = recordedPid(fixture);
    });
    QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny")));

    QCOMPARE(statuses->value(statuses->size() - 2), QStringLiteral("Loading… 5s (large models take up to 60s)"));
    QCOMPARE(manager.statusMessage(), QStringLiteral("Timed out — try a smaller model or quantization (Q4_K_M)"));
    QCOMPARE(manager.lastLaunchError(), expectedError);
    QVERIFY(!manager.isRunning());
    QVERIFY(!manager.isStarting());
    QVERIFY(pid > 0);
    // The engine is ended even when it ignores the polite request.
    QTRY_VERIFY_WITH_TIMEOUT(!isAlive(pid), 5000);
    QTRY_VERIFY(!QFile::exists(fixture.environment.enginePidFile));
}

void TestServerManager::floodedPipesKeepTheTailOfTheLog()
{
    // Megabytes on both pipes: an engine whose pipes are not read blocks and never exits. The
    // error log is two-byte characters sized so that the kept tail starts inside one.
    const QString log = QString(100000, QChar(0x00E9)) + QStringLiteral("\nlast word\n");
    QVERIFY((log.toUtf8().size() - 64 * 1024) % 2 == 1);
    EngineFixture fixture;
    fixture.setEngineScript({{"stdoutBytes", 4 * 1024 * 1024}, {"stderr", log}, {"loadMs", 600000},
                             {"exitAfterMs", 300}, {"exitCode", 1}});
    ServerManager manager(fixture.environment, nullptr);
    QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny")));

    QCOMPARE(manager.statusMessage(), QStringLiteral("Failed to start — see error below"));
    const QString error = manager.lastLaunchError().value_or(QString());
    QVERIFY(error.startsWith(QChar(0x00E9)));
    QVERIFY(error.endsWith(QStringLiteral("\nlast word\n[exit 1]")));
    QVERIFY(error.toUtf8().size() <= 64 * 1024 + 16);
}

void TestServerManager::launchRefused()
{
    EngineFixture fixture;
    const QString notExecutable = fixture.path(QStringLiteral("llama-server"));
    QFile file(notExecutable);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    ServerManager manager(fixture.environment, nullptr);
    QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny"), std::nullopt, notExecutable));
    QVERIFY2(manager.statusMessage().startsWith(QStringLiteral("Launch error: ")), qPrintable(manager.statusMessage()));
    QVERIFY(manager.statusMessage().size() > QStringLiteral("Launch error: ").size());
    QVERIFY(!manager.isStarting());
    QVERIFY(!manager.isRunning());
    QCOMPARE(manager.lastLaunchError(), std::nullopt);
}

void TestServerManager::secondStartIsIgnoredAndRestartStopsFirst()
{
    EngineFixture fixture;
    fixture.setEngineScript({{"loadMs", 200}});
    ServerManager manager(fixture.environment, nullptr);
    auto first = manager.startServer(modelPath, QStringLiteral("Tiny"));
    QVERIFY(manager.isStarting());
    QCoro::waitFor(manager.startServer(QStringLiteral("/models/other.gguf"), QStringLiteral("Other")));
    QCOMPARE(manager.statusMessage(), QStringLiteral("Starting Tiny…"));
    QCoro::waitFor(std::move(first));
    QCOMPARE(manager.statusMessage(), QStringLiteral("Ready — Tiny"));
    QCOMPARE(fixture.launches().size(), 1);

    QStringList *statuses = EngineFixture::recordStatuses(manager);
    QCoro::waitFor(manager.startServer(QStringLiteral("/models/other.gguf"), QStringLiteral("Other")));
    QCOMPARE(statuses->mid(0, 2), (QStringList{"No model loaded", "Starting Other…"}));
    QCOMPARE(manager.statusMessage(), QStringLiteral("Ready — Other"));
    QCOMPARE(manager.activeModelName(), std::optional(QStringLiteral("Other")));
    QCOMPARE(fixture.launches().size(), 2);
    QCoro::waitFor(manager.stopServer());
}

void TestServerManager::stop_data()
{
    QTest::addColumn<QJsonObject>("script");
    QTest::addColumn<bool>("startFirst");
    QTest::newRow("nothing running") << QJsonObject() << false;
    QTest::newRow("serving") << QJsonObject{{"loadMs", 0}} << true;
    QTest::newRow("ignores terminate") << QJsonObject{{"loadMs", 0}, {"ignoreSigterm", true}} << true;
}

void TestServerManager::stop()
{
    QFETCH(QJsonObject, script);
    QFETCH(bool, startFirst);
    EngineFixture fixture;
    fixture.setEngineScript(script);
    ServerManager manager(fixture.environment, nullptr);
    qint64 pid = 0;
    if (startFirst) {
        QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny")));
        QVERIFY(manager.isRunning());
        pid = recordedPid(fixture);
        QVERIFY(isAlive(pid));
    }
    QCoro::waitFor(manager.stopServer());
    QCOMPARE(manager.statusMessage(), QStringLiteral("No model loaded"));
    QVERIFY(!manager.isRunning());
    QVERIFY(!manager.isStarting());
    QCOMPARE(manager.activeModelPath(), std::nullopt);
    QCOMPARE(manager.activeModelName(), std::nullopt);
    QVERIFY(!QCoro::waitFor(manager.checkHealth()));
    if (pid)
        QVERIFY(!isAlive(pid));
    QVERIFY(!QFile::exists(fixture.environment.enginePidFile));
}

void TestServerManager::stopDuringStartEndsIt()
{
    EngineFixture fixture;
    fixture.setEngineScript({{"loadMs", 600000}});
    ServerManager manager(fixture.environment, nullptr);
    manager.start(modelPath, QStringLiteral("Tiny"));
    QTRY_VERIFY(recordedPid(fixture) > 0);
    const qint64 pid = recordedPid(fixture);
    QCoro::waitFor(manager.stopServer());
    QVERIFY(!isAlive(pid));
    // The abandoned start must not come back with its own messages.
    QTest::qWait(20 * fixture.environment.pollIntervalMs);
    QCOMPARE(manager.statusMessage(), QStringLiteral("No model loaded"));
    QVERIFY(!manager.isStarting());
}

void TestServerManager::leftoverEngine_data()
{
    QTest::addColumn<bool>("leftoverIsEngine");
    QTest::newRow("engine from an earlier run") << true;
    QTest::newRow("pid reused by another program") << false;
}

void TestServerManager::leftoverEngine()
{
    QFETCH(bool, leftoverIsEngine);
    EngineFixture fixture;
    fixture.setEngineScript({{"loadMs", 0}});
    ServerManager manager(fixture.environment, nullptr);

    // A process outside our control, as after a crash of the app.
    qint64 leftover = 0;
    const QString program = leftoverIsEngine ? EngineFixture::fakeEngine() : QStringLiteral("/bin/sleep");
    const QStringList arguments = leftoverIsEngine
        ? baseArguments(fixture.environment.port, QStringLiteral("8192"))
        : QStringList{QStringLiteral("30")};
    QProcess detached;
    detached.setProgram(program);
    detached.setArguments(arguments);
    // Not on our pipes: a leftover must never hold the test runner's output open.
    detached.setStandardOutputFile(QProcess::nullDevice());
    detached.setStandardErrorFile(QProcess::nullDevice());
    QVERIFY(detached.startDetached(&leftover));
    const auto cleanup = qScopeGuard([leftover] { ::kill(static_cast<pid_t>(leftover), SIGKILL); });
    if (leftoverIsEngine)
        QTRY_VERIFY(QCoro::waitFor(manager.checkHealth()));
    QFile record(fixture.environment.enginePidFile);
    QVERIFY(record.open(QIODevice::WriteOnly));
    record.write(QByteArray::number(leftover) + '\n' + EngineFixture::fakeEngine().toUtf8() + '\n');
    record.close();

    QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny")));
    QCOMPARE(manager.statusMessage(), QStringLiteral("Ready — Tiny"));
    QCOMPARE(isAlive(leftover), !leftoverIsEngine);
    QCOMPARE(recordedPid(fixture) != leftover, true);
    QCoro::waitFor(manager.stopServer());
}

QTEST_GUILESS_MAIN(TestServerManager)
#include "tst_server_manager.moc"
