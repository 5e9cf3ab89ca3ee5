#include "EngineFixture.h"
#include "engine/ServerManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>
#include <qcorotask.h>

#include <csignal>

Q_DECLARE_METATYPE(std::optional<int>)
Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

const QString modelPath = QStringLiteral("/models/tiny.gguf");

void startTiny(ServerManager &manager)
{
    QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny")));
}

QString loading(int seconds)
{
    return QStringLiteral("Loading… %1s (large models take up to 60s)").arg(seconds);
}

qint64 recordedPid(const EngineFixture &fixture)
{
    QFile file(fixture.environment.enginePidFile);
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
    void readiness_data();
    void readiness();
    void floodedPipesKeepTheTailOfTheLog();
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
    QTest::newRow("none executable") << "ffffff" << -1;
}

void TestServerManager::discovery()
{
    QFETCH(QString, files);
    QFETCH(int, expected);
    EngineFixture fixture;
    QStringList &candidates = fixture.environment.engineCandidates;
    candidates.clear();
    for (int i = 0; i < files.size(); ++i) {
        candidates << fixture.path(QStringLiteral("candidate%1").arg(i));
        if (files.at(i) == QLatin1Char('-'))
            continue;
        QFile::copy(EngineFixture::fakeEngine(), candidates.last());
        QFile::setPermissions(candidates.last(), QFile::ReadOwner | QFile::WriteOwner
                                  | (files.at(i) == QLatin1Char('x') ? QFile::ExeOwner : QFile::Permissions()));
    }
    ServerManager manager(fixture.environment, nullptr);
    QCOMPARE(manager.engineExecutablePath(), expected < 0 ? std::nullopt : std::optional(candidates.value(expected)));
    if (expected >= 0)
        return;
    startTiny(manager);
    QCOMPARE(manager.statusMessage(), QStringLiteral("AI engine not found — install llama.cpp via Homebrew in Settings"));
    QVERIFY(!manager.isStarting());
    QVERIFY(fixture.launches().isEmpty());

    // A plain file named as the engine is refused by the system.
    QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny"), std::nullopt, candidates.first()));
    const QString status = manager.statusMessage();
    QVERIFY2(status.startsWith(QStringLiteral("Launch error: ")) && status.size() > 14, qPrintable(status));
    QVERIFY(!manager.isStarting() && !manager.isRunning());
}

void TestServerManager::launch_data()
{
    QTest::addColumn<std::optional<int>>("gpuLayers");
    QTest::addColumn<bool>("noMmap");
    QTest::addColumn<std::optional<int>>("contextSize");
    QTest::addColumn<bool>("stubBuilt");
    QTest::addColumn<QString>("launch"); // EngineFixture::launchSummary
    QTest::addColumn<QString>("starting");
    QTest::addColumn<QString>("ready");

    // The engine gets a copy of our environment, whose loader path is "/inherited"; only a
    // CPU-only start with the library built replaces it.
    const std::optional<int> none;
    QTest::newRow("defaults") << none << false << none << true << "8192 lib=/inherited" << "Starting Tiny…"
                              << "Ready — Tiny";
    QTest::newRow("small context") << none << false << std::optional(2048) << false << "2048 lib=/inherited"
                                   << "Starting Tiny (ctx 2048)…" << "Ready — Tiny";
    QTest::newRow("cpu only with the substitute library")
        << std::optional(0) << false << none << true << "8192 --n-gpu-layers 0 lib=stub"
        << "Starting Tiny (CPU only)…" << "Ready — Tiny (CPU only)";
    QTest::newRow("cpu only, no mapping, small context, no library")
        << std::optional(0) << true << std::optional(2048) << false << "2048 --n-gpu-layers 0 --no-mmap lib=/inherited"
        << "Starting Tiny (CPU only) (no-mmap) (ctx 2048)…" << "Ready — Tiny (CPU only)";
    QTest::newRow("explicit gpu layers") << std::optional(33) << false << none << true
                                         << "8192 --n-gpu-layers 33 lib=/inherited" << "Starting Tiny…" << "Ready — Tiny";
}

void TestServerManager::launch()
{
    QFETCH(std::optional<int>, gpuLayers);
    QFETCH(bool, noMmap);
    QFETCH(std::optional<int>, contextSize);
    QFETCH(bool, stubBuilt);
    QFETCH(QString, launch);
    QFETCH(QString, starting);
    QFETCH(QString, ready);

    EngineFixture fixture;
    fixture.setEngineScript({{"loadMs", 100}});
    if (stubBuilt) {
        QDir().mkpath(fixture.environment.metalStubDirectory);
        QFile library(fixture.environment.metalStubDirectory + QStringLiteral("/libggml-metal.0.dylib"));
        QVERIFY(library.open(QIODevice::WriteOnly));
    }
    qputenv("DYLD_LIBRARY_PATH", "/inherited");
    const auto restore = qScopeGuard([] { qunsetenv("DYLD_LIBRARY_PATH"); });
    ServerManager manager(fixture.environment, nullptr);
    QStringList *statuses = EngineFixture::recordStatuses(manager);
    bool modelShownBeforeReady = false;
    connect(&manager, &ServerManager::activeModelChanged, &manager,
            [&] { modelShownBeforeReady = modelShownBeforeReady || !manager.isRunning(); });

    QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny"), gpuLayers, std::nullopt, noMmap, contextSize));
    QCOMPARE(statuses->value(0), starting);
    QCOMPARE(manager.statusMessage(), ready);
    QVERIFY(manager.isRunning() && !manager.isStarting());
    QVERIFY(!modelShownBeforeReady);
    QCOMPARE(manager.activeModelPath(), std::optional(modelPath));
    QCOMPARE(manager.activeModelName(), std::optional(QStringLiteral("Tiny")));
    const QList<QJsonObject> launches = fixture.launches();
    QCOMPARE(launches.size(), 1);
    QCOMPARE(fixture.launchSummary(launches.first(), modelPath), launch);
}

void TestServerManager::readiness_data()
{
    QTest::addColumn<QJsonObject>("script");
    QTest::addColumn<QString>("finalStatus");
    QTest::addColumn<std::optional<QString>>("expectedError");
    const QString timedOut = QStringLiteral("Timed out — try a smaller model or quantization (Q4_K_M)");
    QTest::newRow("answers 503 while loading") << QJsonObject{{"loadMs", 600}} << "Ready — Tiny" << std::optional<QString>();
    QTest::newRow("still loading") << QJsonObject{{"loadMs", 600000}, {"stderr", "  loading tensors\n"}} << timedOut
                                   << std::optional(QStringLiteral("loading tensors"));
    QTest::newRow("hung before binding") << QJsonObject{{"hang", true}} << timedOut << std::optional<QString>();
    QTest::newRow("ignores terminate") << QJsonObject{{"hang", true}, {"ignoreSigterm", true}, {"stderr", "stuck"}}
                                       << timedOut << std::optional(QStringLiteral("stuck"));
}

void TestServerManager::readiness()
{
    QFETCH(QJsonObject, script);
    QFETCH(QString, finalStatus);
    QFETCH(std::optional<QString>, expectedError);
    EngineFixture fixture;
    fixture.environment.lastPoll = 40;
    fixture.setEngineScript(script);
    ServerManager manager(fixture.environment, nullptr);
    QStringList *statuses = EngineFixture::recordStatuses(manager);
    qint64 pid = 0;
    connect(&manager, &ServerManager::statusMessageChanged, &manager, [&] { pid = pid ? pid : recordedPid(fixture); });
    startTiny(manager);

    // Every tenth poll tells how long it has been, the last one too.
    const bool ready = finalStatus.startsWith(QStringLiteral("Ready"));
    QVERIFY2(statuses->contains(loading(5)), qPrintable(statuses->join('|')));
    if (!ready)
        QCOMPARE(statuses->value(statuses->size() - 2), loading(20));
    QCOMPARE(manager.statusMessage(), finalStatus);
    QCOMPARE(manager.lastLaunchError(), expectedError);
    QCOMPARE(manager.isRunning(), ready);
    QVERIFY(!manager.isStarting());
    QVERIFY(pid > 0);
    // A timed-out engine is ended, even when it ignores the polite request.
    QTRY_COMPARE_WITH_TIMEOUT(isAlive(pid), ready, 5000);
    QTRY_COMPARE(QFile::exists(fixture.environment.enginePidFile), ready);
}

void TestServerManager::floodedPipesKeepTheTailOfTheLog()
{
    // Megabytes on both pipes: an engine whose pipes are not read blocks and never exits. The
    // error log is two-byte characters, an odd number of bytes past the 64 KiB kept, so the kept
    // tail starts inside a character.
    const QString log = QString(100000, QChar(0x00E9)) + QStringLiteral("\nlast word\n");
    EngineFixture fixture;
    fixture.setEngineScript({{"stdoutBytes", 4 * 1024 * 1024}, {"stderr", log}, {"loadMs", 600000},
                             {"exitAfterMs", 300}, {"exitCode", 1}});
    ServerManager manager(fixture.environment, nullptr);
    startTiny(manager);

    QCOMPARE(manager.statusMessage(), QStringLiteral("Failed to start — see error below"));
    const QString error = manager.lastLaunchError().value_or(QString());
    QVERIFY(error.startsWith(QChar(0x00E9)));
    QVERIFY(error.endsWith(QStringLiteral("\nlast word\n[exit 1]")));
    QVERIFY(error.toUtf8().size() <= 64 * 1024 + 16);
}

void TestServerManager::secondStartIsIgnoredAndRestartStopsFirst()
{
    EngineFixture fixture;
    fixture.setEngineScript({{"loadMs", 200}});
    ServerManager manager(fixture.environment, nullptr);
    const QString other = QStringLiteral("/models/other.gguf");
    auto first = manager.startServer(modelPath, QStringLiteral("Tiny"));
    QVERIFY(manager.isStarting());
    QCoro::waitFor(manager.startServer(other, QStringLiteral("Other")));
    QCOMPARE(manager.statusMessage(), QStringLiteral("Starting Tiny…"));
    QCoro::waitFor(std::move(first));
    QCOMPARE(manager.statusMessage(), QStringLiteral("Ready — Tiny"));
    QCOMPARE(fixture.launches().size(), 1);

    QStringList *statuses = EngineFixture::recordStatuses(manager);
    QCoro::waitFor(manager.startServer(other, QStringLiteral("Other")));
    QCOMPARE(statuses->mid(0, 2), (QStringList{"No model loaded", "Starting Other…"}));
    QCOMPARE(manager.statusMessage(), QStringLiteral("Ready — Other"));
    QCOMPARE(manager.activeModelName(), std::optional(QStringLiteral("Other")));
    QCOMPARE(fixture.launches().size(), 2);
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
    if (startFirst) {
        startTiny(manager);
        QVERIFY(manager.isRunning());
    }
    const qint64 pid = recordedPid(fixture);
    QCOMPARE(pid > 0 && isAlive(pid), startFirst);
    QCoro::waitFor(manager.stopServer());
    QCOMPARE(manager.statusMessage(), QStringLiteral("No model loaded"));
    QVERIFY(!manager.isRunning() && !manager.isStarting());
    QCOMPARE(manager.activeModelPath(), std::nullopt);
    QCOMPARE(manager.activeModelName(), std::nullopt);
    QVERIFY(!QCoro::waitFor(manager.checkHealth()));
    QVERIFY(!pid || !isAlive(pid));
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

    // A process outside our control, as after a crash of the app; not on our pipes, so it never
    // holds the test runner's output open.
    QProcess detached;
    if (leftoverIsEngine) {
        detached.setProgram(EngineFixture::fakeEngine());
        detached.setArguments({"--model", modelPath, "--port", QString::number(fixture.environment.port)});
    } else {
        detached.setProgram(QStringLiteral("/bin/sleep"));
        detached.setArguments({QStringLiteral("30")});
    }
    detached.setStandardOutputFile(QProcess::nullDevice());
    detached.setStandardErrorFile(QProcess::nullDevice());
    qint64 leftover = 0;
    QVERIFY(detached.startDetached(&leftover));
    const auto cleanup = qScopeGuard([leftover] { ::kill(static_cast<pid_t>(leftover), SIGKILL); });
    if (leftoverIsEngine)
        QTRY_VERIFY(QCoro::waitFor(manager.checkHealth()));
    QFile record(fixture.environment.enginePidFile);
    QVERIFY(record.open(QIODevice::WriteOnly));
    record.write(QByteArray::number(leftover) + '\n' + EngineFixture::fakeEngine().toUtf8() + '\n');
    record.close();

    startTiny(manager);
    QCOMPARE(manager.statusMessage(), QStringLiteral("Ready — Tiny"));
    QCOMPARE(isAlive(leftover), !leftoverIsEngine);
    QVERIFY(recordedPid(fixture) != leftover);
}

QTEST_GUILESS_MAIN(TestServerManager)
#include "tst_server_manager.moc"
