#include "EngineFixture.h"
#include "engine/ServerManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>
#include <qcorotask.h>

Q_DECLARE_METATYPE(std::optional<int>)
Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

const QString modelPath = QStringLiteral("/models/tiny.gguf");

void startTiny(ServerManager &manager)
{
    QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny")));
}

qint64 recordedPid(const EngineFixture &fixture)
{
    QFile file(fixture.environment.enginePidFile);
    return file.open(QIODevice::ReadOnly) ? file.readLine().trimmed().toLongLong() : 0;
}

// Ended processes (zombies included) no longer show their executable.
bool isAlive(qint64 pid)
{
    return !QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget().isEmpty();
}

} // namespace

class TestServerManager : public QObject
{
    Q_OBJECT

private slots:
    void discovery_data()
    {
        // One letter per candidate, in order: x executable, f plain file, - absent.
        QTest::addColumn<QString>("files");
        QTest::addColumn<int>("expected");
        QTest::newRow("first wins") << "xxxxxx" << 0;
        QTest::newRow("only the second llama-cli") << "---x--" << 3;
        QTest::newRow("plain files are skipped") << "ff-x-x" << 3;
        QTest::newRow("none executable") << "ffffff" << -1;
    }

    void discovery()
    {
        QFETCH(QString, files);
        QFETCH(int, expected);
        EngineFixture fixture;
        QStringList &candidates = fixture.environment.engineCandidates;
        candidates.clear();
        for (int i = 0; i < files.size(); ++i) {
            candidates << fixture.path(QStringLiteral("candidate%1").arg(i));
            if (files.at(i) != QLatin1Char('-') && QFile::copy(EngineFixture::fakeEngine(), candidates.last()))
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
        QCOMPARE(manager.statusMessage(), QStringLiteral("Launch error: execve: Permission denied"));
        QVERIFY(!manager.isStarting() && !manager.isRunning());
    }

    void launch_data()
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
        QTest::newRow("defaults") << none << false << none << true << "8192 lib=/inherited" << "Starting Tiny…" << "Ready — Tiny";
        QTest::newRow("small context") << none << false << std::optional(2048) << false << "2048 lib=/inherited"
                                       << "Starting Tiny (ctx 2048)…" << "Ready — Tiny";
        QTest::newRow("cpu only with the substitute library") << std::optional(0) << false << none << true
                                                              << "8192 --n-gpu-layers 0 lib=stub" << "Starting Tiny (CPU only)…"
                                                              << "Ready — Tiny (CPU only)";
        QTest::newRow("cpu only, no mapping, small context, no library")
            << std::optional(0) << true << std::optional(2048) << false << "2048 --n-gpu-layers 0 --no-mmap lib=/inherited"
            << "Starting Tiny (CPU only) (no-mmap) (ctx 2048)…" << "Ready — Tiny (CPU only)";
        QTest::newRow("explicit gpu layers") << std::optional(33) << false << none << true
                                             << "8192 --n-gpu-layers 33 lib=/inherited" << "Starting Tiny…" << "Ready — Tiny";
    }

    void launch()
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
        QDir().mkpath(fixture.environment.metalStubDirectory);
        if (stubBuilt)
            QVERIFY(QFile(fixture.environment.metalStubDirectory + QStringLiteral("/libggml-metal.0.dylib")).open(QIODevice::WriteOnly));
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
        QVERIFY(manager.isRunning() && !manager.isStarting() && !modelShownBeforeReady);
        QCOMPARE(manager.activeModelPath(), std::optional(modelPath));
        QCOMPARE(manager.activeModelName(), std::optional(QStringLiteral("Tiny")));
        const QList<QJsonObject> launches = fixture.launches();
        QCOMPARE(launches.size(), 1);
        QCOMPARE(fixture.launchSummary(launches.first(), modelPath), launch);
    }

    // How a start ends when the engine answers, keeps loading, or dies without being asked.
    void readiness_data()
    {
        QTest::addColumn<QJsonObject>("script");
        QTest::addColumn<QString>("finalStatus");
        QTest::addColumn<std::optional<QString>>("expectedError");
        const QString timedOut = QStringLiteral("Timed out — try a smaller model or quantization (Q4_K_M)");
        const std::optional<QString> none;
        QTest::newRow("answers 503 while loading") << QJsonObject{{"loadMs", 600}} << "Ready — Tiny" << none;
        QTest::newRow("still loading") << QJsonObject{{"loadMs", 600000}, {"stderr", "  loading tensors\n"}} << timedOut
                                       << std::optional(QStringLiteral("loading tensors"));
        QTest::newRow("hung before binding") << QJsonObject{{"hang", true}} << timedOut << none;
        QTest::newRow("ignores terminate") << QJsonObject{{"hang", true}, {"ignoreSigterm", true}, {"stderr", "stuck"}}
                                           << timedOut << std::optional(QStringLiteral("stuck"));
        // Megabytes on both pipes: an engine whose pipes are not read blocks and never exits. Of
        // the error log the last 64 KiB are kept; that cut falls inside a two-byte character,
        // which is dropped.
        QTest::newRow("flooded pipes keep the tail of the log")
            << QJsonObject{{"stdoutBytes", 4 * 1024 * 1024}, {"stderr", QString(100000, QChar(0xE9)) + "\nlast word\n"},
                           {"loadMs", 600000}, {"exitAfterMs", 600}, {"exitCode", 1}}
            << "Failed to start — see error below" << std::optional(QString(32762, QChar(0xE9)) + "\nlast word\n[exit 1]");
    }

    void readiness()
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
        QVERIFY2(statuses->contains(QStringLiteral("Loading… 5s (large models take up to 60s)")), qPrintable(statuses->join('|')));
        const bool timedOut = finalStatus.startsWith(QStringLiteral("Timed out"));
        if (timedOut)
            QCOMPARE(statuses->value(statuses->size() - 2), QStringLiteral("Loading… 20s (large models take up to 60s)"));
        QCOMPARE(manager.statusMessage(), finalStatus);
        QCOMPARE(manager.lastLaunchError(), expectedError);
        const bool ready = finalStatus.startsWith(QStringLiteral("Ready"));
        QVERIFY(manager.isRunning() == ready && !manager.isStarting());
        QVERIFY(pid > 0);
        // An engine that did not come up is ended, even when it ignores the polite request.
        QTRY_COMPARE_WITH_TIMEOUT(isAlive(pid), ready, 5000);
        if (timedOut)
            QTRY_VERIFY(!QFile::exists(fixture.environment.enginePidFile));
    }

    void secondStartIsIgnoredAndRestartStopsFirst()
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

    void stop_data()
    {
        QTest::addColumn<QJsonObject>("script"); // empty: nothing is started
        QTest::addColumn<bool>("awaitStart");
        QTest::newRow("nothing running") << QJsonObject() << false;
        QTest::newRow("serving") << QJsonObject{{"loadMs", 0}} << true;
        QTest::newRow("ignores terminate") << QJsonObject{{"loadMs", 0}, {"ignoreSigterm", true}} << true;
        QTest::newRow("still loading") << QJsonObject{{"loadMs", 600000}} << false;
    }

    void stop()
    {
        QFETCH(QJsonObject, script);
        QFETCH(bool, awaitStart);
        EngineFixture fixture;
        fixture.setEngineScript(script);
        ServerManager manager(fixture.environment, nullptr);
        if (awaitStart)
            startTiny(manager);
        else if (!script.isEmpty())
            manager.start(modelPath, QStringLiteral("Tiny"));
        QTRY_COMPARE(recordedPid(fixture) > 0, !script.isEmpty());
        const qint64 pid = recordedPid(fixture);
        QCOMPARE(manager.isRunning(), awaitStart);
        QCoro::waitFor(manager.stopServer());
        QVERIFY(!pid || !isAlive(pid));
        // A start still waiting must not come back with its own messages.
        if (!awaitStart)
            QTest::qWait(20 * fixture.environment.pollIntervalMs);
        QCOMPARE(manager.statusMessage(), QStringLiteral("No model loaded"));
        QVERIFY(!manager.isRunning() && !manager.isStarting());
        QCOMPARE(manager.activeModelPath(), std::nullopt);
        QCOMPARE(manager.activeModelName(), std::nullopt);
        QVERIFY(!QCoro::waitFor(manager.checkHealth()));
        QVERIFY(!QFile::exists(fixture.environment.enginePidFile));
    }

    void leftoverEngine_data()
    {
        QTest::addColumn<bool>("leftoverIsEngine");
        QTest::newRow("engine from an earlier run") << true;
        QTest::newRow("pid reused by another program") << false;
    }

    // A process the record names, as after a crash of the app: ended only when it is an engine.
    void leftoverEngine()
    {
        QFETCH(bool, leftoverIsEngine);
        EngineFixture fixture;
        fixture.setEngineScript({{"loadMs", 0}});
        ServerManager manager(fixture.environment, nullptr);
        QProcess leftover;
        if (leftoverIsEngine)
            leftover.start(EngineFixture::fakeEngine(), {"--port", QString::number(fixture.environment.port)});
        else
            leftover.start(QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
        QVERIFY(leftover.waitForStarted());
        const qint64 pid = leftover.processId();
        const auto end = qScopeGuard([&] { leftover.kill(); leftover.waitForFinished(); });
        QTRY_COMPARE(QCoro::waitFor(manager.checkHealth()), leftoverIsEngine);
        QFile record(fixture.environment.enginePidFile);
        QVERIFY(record.open(QIODevice::WriteOnly));
        record.write(QByteArray::number(pid) + '\n' + EngineFixture::fakeEngine().toUtf8() + '\n');
        record.close();

        startTiny(manager);
        QCOMPARE(manager.statusMessage(), QStringLiteral("Ready — Tiny"));
        QCOMPARE(isAlive(pid), !leftoverIsEngine);
    }
};

QTEST_GUILESS_MAIN(TestServerManager)
#include "tst_server_manager.moc"
