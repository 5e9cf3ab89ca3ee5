#include "EngineFixture.h"
#include "engine/ServerManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <qcorotask.h>

#include <csignal>

using RecoveryLadder::Attempt;
Q_DECLARE_METATYPE(Attempt)

namespace {

const QString modelPath = QStringLiteral("/models/tiny.gguf");

// Ended processes (zombies included) no longer show their executable.
bool isAlive(qint64 pid)
{
    return !QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget().isEmpty();
}

// The fake engine's behaviour on each start. One that ends by itself does so shortly after the
// launch and stays loading until then, so the exit comes before any health answer.
QJsonObject starts(const QByteArray &json)
{
    QJsonArray result;
    for (const QJsonValue &value : QJsonDocument::fromJson(json).array()) {
        QJsonObject start = value.toObject();
        if (start.contains(QStringLiteral("exitCode")) || start.contains(QStringLiteral("signal"))) {
            start.insert(QStringLiteral("exitAfterMs"), 50);
            start.insert(QStringLiteral("loadMs"), 600000);
        }
        result << start;
    }
    return {{"starts", result}};
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
        QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny")));
        QCOMPARE(manager.statusMessage(), QStringLiteral("AI engine not found — install llama.cpp via Homebrew in Settings"));
        QVERIFY(!manager.isStarting());
        QVERIFY(fixture.launches().isEmpty());

        // A plain file named as the engine is refused by the system.
        QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny"), std::nullopt, candidates.first()));
        QCOMPARE(manager.statusMessage(), QStringLiteral("Launch error: execve: Permission denied"));
        QVERIFY(!manager.isStarting() && !manager.isRunning());
    }

    // One start from its first status to its last, retries after early exits included, and the
    // stop after it.
    void start_data()
    {
        QTest::addColumn<Attempt>("settings");
        QTest::addColumn<QJsonObject>("script");
        QTest::addColumn<bool>("stubBuilt");
        QTest::addColumn<QStringList>("statuses"); // first and last exactly, others may come between
        QTest::addColumn<QString>("error");        // empty: none
        QTest::addColumn<QStringList>("launches"); // EngineFixture::launchSummary of each

        // Our own loader path is "/inherited"; only a CPU-only start with the substitute library
        // built replaces it.
        const QJsonObject quick{{"loadMs", 100}};
        const QString inherited = QStringLiteral("8192 lib=/inherited"), tiny = QStringLiteral("Starting Tiny…");
        const QStringList ready{tiny, "Ready — Tiny"}, cpuReady{"Starting Tiny (CPU only)…", "Ready — Tiny (CPU only)"};
        QTest::newRow("defaults") << Attempt{} << quick << true << ready << "" << QStringList{inherited};
        QTest::newRow("small context") << Attempt{std::nullopt, false, 2048} << quick << true
                                       << QStringList{"Starting Tiny (ctx 2048)…", "Ready — Tiny"} << "" << QStringList{"2048 lib=/inherited"};
        QTest::newRow("cpu only") << Attempt{0, false, std::nullopt} << quick << true << cpuReady << ""
                                  << QStringList{"8192 --n-gpu-layers 0 lib=stub"};
        QTest::newRow("cpu only, no mapping, small context")
            << Attempt{0, true, 2048} << quick << true << QStringList{"Starting Tiny (CPU only) (no-mmap) (ctx 2048)…", cpuReady.last()}
            << "" << QStringList{"2048 --n-gpu-layers 0 --no-mmap lib=stub"};
        QTest::newRow("explicit gpu layers") << Attempt{33, false, std::nullopt} << quick << true << ready << ""
                                             << QStringList{"8192 --n-gpu-layers 33 lib=/inherited"};
        QTest::newRow("ignores terminate when stopped") << Attempt{} << QJsonObject{{"ignoreSigterm", true}} << true << ready << ""
                                                        << QStringList{inherited};

        // Every tenth poll tells how long it has been, the last one (here the 40th) too.
        const QString loading5 = QStringLiteral("Loading… 5s (large models take up to 60s)");
        const QStringList timedOut{tiny, loading5, "Loading… 20s (large models take up to 60s)",
                                   "Timed out — try a smaller model or quantization (Q4_K_M)"};
        QTest::newRow("answers 503 while loading") << Attempt{} << QJsonObject{{"loadMs", 600}} << true
                                                   << QStringList{tiny, loading5, "Ready — Tiny"} << "" << QStringList{inherited};
        QTest::newRow("still loading") << Attempt{} << QJsonObject{{"loadMs", 600000}, {"stderr", "  loading tensors\n"}} << true
                                       << timedOut << "loading tensors" << QStringList{inherited};
        QTest::newRow("hung before binding") << Attempt{} << QJsonObject{{"hang", true}} << true << timedOut << "" << QStringList{inherited};
        QTest::newRow("hung, ignores terminate") << Attempt{} << QJsonObject{{"hang", true}, {"ignoreSigterm", true}, {"stderr", "stuck"}}
                                                 << true << timedOut << "stuck" << QStringList{inherited};

        // Megabytes on both pipes: an engine whose pipes are not read blocks and never exits. Of
        // the error log the last 64 KiB are kept; that cut falls inside a two-byte character,
        // which is dropped.
        const QString failed = QStringLiteral("Failed to start — see error below");
        QTest::newRow("flooded pipes keep the tail of the log")
            << Attempt{} << QJsonObject{{"stdoutBytes", 4 * 1024 * 1024}, {"stderr", QString(100000, QChar(0xE9)) + "\nlast word\n"},
                                        {"loadMs", 600000}, {"exitAfterMs", 600}, {"exitCode", 1}}
            << true << QStringList{tiny, loading5, failed} << QString(32762, QChar(0xE9)) + "\nlast word\n[exit 1]" << QStringList{inherited};

        // Early exits: a retry with safer settings, or the report.
        const QString gpuFailure = QStringLiteral("GPU incompatible — building CPU-only workaround…");
        const QStringList cpuRetry{inherited, "8192 --n-gpu-layers 0 lib=stub"};
        QTest::newRow("gpu backend failure retries on the cpu")
            << Attempt{} << starts(R"([{"stderr":"ggml_metal_init: failed to allocate","exitCode":1},{}])") << true
            << QStringList{tiny, gpuFailure, "Retrying without Metal GPU…", cpuReady.first(), cpuReady.last()} << "" << cpuRetry;
        QTest::newRow("backend marker in any case beats a bus error")
            << Attempt{} << starts(R"([{"stderr":"fatal: GGML_METAL_DEVICE lost","signal":"SIGBUS"},{}])") << true
            << QStringList{tiny, gpuFailure, cpuReady.last()} << "" << cpuRetry;
        QTest::newRow("substitute library not built: cpu retry without it")
            << Attempt{} << starts(R"([{"stderr":"ggml_metal: error","exitCode":1},{}])") << false
            << QStringList{tiny, "Retrying without Metal GPU…", cpuReady.last()} << "" << QStringList{inherited, "8192 --n-gpu-layers 0 lib=/inherited"};
        QTest::newRow("backend marker on a cpu start is reported")
            << Attempt{0, false, std::nullopt} << starts(R"([{"stderr":"ggml_metal: no device\n","exitCode":1}])") << true
            << QStringList{cpuReady.first(), failed} << "ggml_metal: no device\n[exit 1]" << QStringList{"8192 --n-gpu-layers 0 lib=stub"};
        QTest::newRow("segmentation fault is reported")
            << Attempt{} << starts(R"([{"stderr":"llama_model_load: error","signal":"SIGSEGV"}])") << true
            << QStringList{tiny, failed} << "llama_model_load: error\n[crash signal 11]" << QStringList{inherited};
        QTest::newRow("exit code of the bus error number is no bus error")
            << Attempt{} << starts(QStringLiteral(R"([{"exitCode":%1}])").arg(SIGBUS).toUtf8()) << true
            << QStringList{tiny, failed} << QStringLiteral("[exit %1]").arg(SIGBUS) << QStringList{inherited};

        const QString repeatedCrash = QStringLiteral(
            "This model repeatedly crashed with a memory error (signal 10).\n\nPossible fixes:\n"
            "• Run 'brew upgrade llama.cpp' in Terminal to update the engine.\n"
            "• Try a smaller quantization like Q4_K_M or Q3_K_S.\n• The model may be too large for available RAM.");
        const QString modelFailed = QStringLiteral("Failed — model incompatible or too large");
        QTest::newRow("bus errors use up the ladder")
            << Attempt{} << starts(R"([{"signal":"SIGBUS"}])") << true
            << QStringList{tiny, "Memory error — retrying with direct file read…", "Starting Tiny (no-mmap)…",
                           "Memory pressure — retrying with reduced context (2048)…", "Starting Tiny (no-mmap) (ctx 2048)…", modelFailed}
            << repeatedCrash << QStringList{inherited, "8192 --no-mmap lib=/inherited", "2048 --no-mmap lib=/inherited"};
        // The longest chain: the CPU fallback gives the full context back, for memory pressure to
        // shrink once more.
        QTest::newRow("five starts")
            << Attempt{} << starts(R"([{"signal":"SIGBUS"}, {"signal":"SIGBUS"}, {"stderr":"ggml_metal_init: error","exitCode":1},
                                      {"signal":"SIGBUS"}, {"signal":"SIGBUS"}])")
            << true << QStringList{tiny, "Starting Tiny (CPU only) (no-mmap)…", modelFailed} << repeatedCrash
            << QStringList{inherited, "8192 --no-mmap lib=/inherited", "2048 --no-mmap lib=/inherited",
                           "8192 --n-gpu-layers 0 --no-mmap lib=stub", "2048 --n-gpu-layers 0 --no-mmap lib=stub"};
    }

    void start()
    {
        QFETCH(Attempt, settings);
        QFETCH(QJsonObject, script);
        QFETCH(bool, stubBuilt);
        QFETCH(QStringList, statuses);
        QFETCH(QString, error);
        QFETCH(QStringList, launches);
        EngineFixture fixture;
        fixture.environment.lastPoll = 40;
        fixture.environment.compilerPath = QStringLiteral("/bin/false");
        fixture.setEngineScript(script);
        const QString stub = fixture.environment.metalStubDirectory;
        QVERIFY(!stubBuilt || (QDir().mkpath(stub) && QFile(stub + QStringLiteral("/libggml-metal.0.dylib")).open(QIODevice::WriteOnly)));
        qputenv("DYLD_LIBRARY_PATH", "/inherited");
        const auto restore = qScopeGuard([] { qunsetenv("DYLD_LIBRARY_PATH"); });
        ServerManager manager(fixture.environment, nullptr);
        QStringList *shown = EngineFixture::recordStatuses(manager);
        bool modelShownBeforeReady = false;
        connect(&manager, &ServerManager::activeModelChanged, &manager,
                [&] { modelShownBeforeReady = modelShownBeforeReady || !manager.isRunning(); });
        QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny"), settings.gpuLayers, std::nullopt,
                                           settings.noMmap, settings.contextSize));

        qsizetype from = 0;
        for (const QString &expected : statuses)
            QVERIFY2((from = shown->indexOf(expected, from)) >= 0, qPrintable(expected + " not in order in: " + shown->join('|')));
        QCOMPARE(shown->first(), statuses.first());
        QCOMPARE(manager.statusMessage(), statuses.last());
        const std::optional<QString> expectedError = error.isEmpty() ? std::nullopt : std::optional(error);
        QCOMPARE(manager.lastLaunchError(), expectedError);
        const bool ready = statuses.last().startsWith(QStringLiteral("Ready"));
        QVERIFY(manager.isRunning() == ready && !manager.isStarting() && !modelShownBeforeReady);
        QCOMPARE(manager.activeModelPath(), ready ? std::optional(modelPath) : std::nullopt);
        QCOMPARE(manager.activeModelName(), ready ? std::optional(QStringLiteral("Tiny")) : std::nullopt);
        QCOMPARE(manager.failureNotice(), ready ? QString() : QStringLiteral("Loading Tiny failed — see Models"));
        QStringList launched;
        for (const QJsonObject &launch : fixture.launches())
            launched << fixture.launchSummary(launch, modelPath);
        QCOMPARE(launched, launches);
        // An engine that did not come up is ended, even when it ignores the polite request.
        const qint64 pid = fixture.launches().last().value(QStringLiteral("pid")).toInteger();
        QTRY_COMPARE_WITH_TIMEOUT(isAlive(pid), ready, 5000);
        // Only a running engine stays on record: an ended one's pid may be reused by anything.
        QTRY_COMPARE(QFile::exists(fixture.environment.enginePidFile), ready);

        QCoro::waitFor(manager.stopServer());
        QVERIFY(!isAlive(pid));
        QCOMPARE(manager.statusMessage(), QStringLiteral("No model loaded"));
        QVERIFY(!manager.isRunning() && !manager.isStarting() && !manager.activeModelPath() && !manager.activeModelName());
        QCOMPARE(manager.lastLaunchError(), expectedError);
        QCOMPARE(manager.failureNotice(), QString());
        QVERIFY(!QCoro::waitFor(manager.checkHealth()));
        QTRY_VERIFY(!QFile::exists(fixture.environment.enginePidFile));
    }

    // A start while one is under way is ignored; one while a model is served stops it first; a
    // stop while one is under way ends it for good.
    void overlappingCalls()
    {
        EngineFixture fixture;
        fixture.setEngineScript(starts(R"([{"loadMs":200}, {}, {"loadMs":600000}])"));
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

        manager.start(modelPath, QStringLiteral("Tiny"));
        QTRY_COMPARE(fixture.launches().size(), 3);
        const qint64 pid = fixture.launches().last().value(QStringLiteral("pid")).toInteger();
        QCoro::waitFor(manager.stopServer());
        QVERIFY(!isAlive(pid));
        // The abandoned start must not come back with its own messages.
        QTest::qWait(20 * fixture.environment.pollIntervalMs);
        QCOMPARE(manager.statusMessage(), QStringLiteral("No model loaded"));
        QVERIFY(!manager.isStarting());
    }

    void stopsAfterReady_data()
    {
        QTest::addColumn<QJsonObject>("script");
        QTest::addColumn<QString>("tag");
        QString log;
        for (int line = 1; line <= 50; ++line)
            log += QStringLiteral("log line %1\n").arg(line);
        QTest::newRow("killed") << QJsonObject{{"loadMs", 0}, {"stderr", log}} << "[crash signal 9]";
        QTest::newRow("exits by itself") << QJsonObject{{"loadMs", 0}, {"stderr", log}, {"exitAfterMs", 400}, {"exitCode", 3}}
                                         << "[exit 3]";
    }

    // An engine that ends on its own once it was ready is reported with the end of its log; the
    // model stays named so it can be loaded again, and nothing restarts by itself.
    void stopsAfterReady()
    {
        QFETCH(QJsonObject, script);
        QFETCH(QString, tag);
        EngineFixture fixture;
        fixture.setEngineScript(script);
        ServerManager manager(fixture.environment, nullptr);
        QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny")));
        QVERIFY(manager.isRunning());
        const qint64 pid = fixture.launches().last().value(QStringLiteral("pid")).toInteger();
        if (!script.contains(QStringLiteral("exitAfterMs")))
            ::kill(pid_t(pid), SIGKILL);
        QTRY_COMPARE(manager.statusMessage(), QStringLiteral("Engine stopped unexpectedly — see error below"));
        QVERIFY(!manager.isRunning() && !manager.isStarting() && manager.stoppedUnexpectedly());
        QCOMPARE(manager.activeModelName(), std::optional(QStringLiteral("Tiny")));
        QStringList lastLines;
        for (int line = 11; line <= 50; ++line)
            lastLines << QStringLiteral("log line %1").arg(line);
        QCOMPARE(manager.lastLaunchErrorText(), lastLines.join(QLatin1Char('\n')) + QLatin1Char('\n') + tag);
        QCOMPARE(manager.failureNotice(), QStringLiteral("Engine stopped unexpectedly — see Models"));
        QTest::qWait(10 * fixture.environment.pollIntervalMs);
        QCOMPARE(fixture.launches().size(), 1);

        fixture.setEngineScript({{"loadMs", 0}});
        manager.reload();
        QTRY_COMPARE(manager.statusMessage(), QStringLiteral("Ready — Tiny"));
        QVERIFY(!manager.stoppedUnexpectedly() && manager.failureNotice().isEmpty() && !manager.lastLaunchError());
        // The app's own stop is no surprise.
        QCoro::waitFor(manager.stopServer());
        QTest::qWait(10 * fixture.environment.pollIntervalMs);
        QCOMPARE(manager.statusMessage(), QStringLiteral("No model loaded"));
        QVERIFY(!manager.stoppedUnexpectedly());
    }

    void portTaken_data()
    {
        QTest::addColumn<int>("portCount");
        QTest::newRow("the next free port") << 20;
        QTest::newRow("no port left") << 1;
    }

    // Something else listens on the engine's port: ours starts on the next free one and its log
    // says why, or the start fails saying that no port is free.
    void portTaken()
    {
        QFETCH(int, portCount);
        EngineFixture fixture;
        fixture.environment.portCount = portCount;
        const int taken = fixture.environment.port;
        QTcpServer other;
        QVERIFY(other.listen(QHostAddress::LocalHost, quint16(taken)));
        fixture.setEngineScript(starts(R"([{"stderr":"bye","exitCode":1}])"));
        ServerManager manager(fixture.environment, nullptr);
        QSignalSpy portChanged(&manager, &ServerManager::portChanged);
        QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny")));
        QCOMPARE(manager.statusMessage(), QStringLiteral("Failed to start — see error below"));
        if (portCount == 1) {
            QCOMPARE(manager.lastLaunchErrorText(), QStringLiteral("Morlo AI: ports %1 to %1 are all in use by other programs.").arg(taken));
            QVERIFY(fixture.launches().isEmpty());
            return;
        }
        const int port = manager.port();
        QVERIFY(port > taken && port < taken + portCount);
        QCOMPARE(portChanged.size(), 1);
        QCOMPARE(EngineFixture::arguments(fixture.launches().first()).mid(4, 2), (QStringList{"--port", QString::number(port)}));
        QCOMPARE(manager.lastLaunchErrorText(),
                 QStringLiteral("Morlo AI: port %1 is in use (another program is listening on it), so this engine uses port %2.\n"
                                "bye\n[exit 1]").arg(taken).arg(port));
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
        leftover.start(leftoverIsEngine ? EngineFixture::fakeEngine() : QStringLiteral("/bin/sleep"),
                       leftoverIsEngine ? QStringList{"--port", QString::number(fixture.environment.port)} : QStringList{"30"});
        QVERIFY(leftover.waitForStarted());
        const qint64 pid = leftover.processId();
        const auto end = qScopeGuard([&] { leftover.kill(); leftover.waitForFinished(); });
        QTRY_COMPARE(QCoro::waitFor(manager.checkHealth()), leftoverIsEngine);
        QFile record(fixture.environment.enginePidFile);
        QVERIFY(record.open(QIODevice::WriteOnly) && record.write(QByteArray::number(pid) + '\n' + EngineFixture::fakeEngine().toUtf8()) > 0);
        record.close();

        QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny")));
        QCOMPARE(manager.statusMessage(), QStringLiteral("Ready — Tiny"));
        QCOMPARE(isAlive(pid), !leftoverIsEngine);
    }
};

QTEST_GUILESS_MAIN(TestServerManager)
#include "tst_server_manager.moc"
