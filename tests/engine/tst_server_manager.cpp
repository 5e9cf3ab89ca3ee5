#include "EngineFixture.h"
#include "engine/ServerManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
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

// One launch in short: the context size, the arguments after the fixed ones (model, port, host,
// no token limit), and "lib=stub" or "lib=<path>" for the loader path. A launch whose fixed
// arguments differ is given whole.
QString summary(const EngineFixture &fixture, const QJsonObject &launch)
{
    static const QRegularExpression fixed(QStringLiteral("^--model %1 --ctx-size (\\d+) --port \\d+ --host 127\\.0\\.0\\.1 --n-predict -1")
                                              .arg(QRegularExpression::escape(modelPath)));
    QString result = EngineFixture::arguments(launch).join(QLatin1Char(' ')).replace(fixed, QStringLiteral("\\1"));
    const QString library = launch.value(QStringLiteral("libraryPath")).toString();
    if (!library.isEmpty())
        result += QStringLiteral(" lib=") + (library == fixture.environment.metalStubDirectory ? QStringLiteral("stub") : library);
    return result;
}

} // namespace

class TestServerManager : public QObject
{
    Q_OBJECT

private slots:
    // One start from its first status to its last, retries after early exits included, and the
    // stop after it.
    void start_data()
    {
        QTest::addColumn<Attempt>("settings");
        QTest::addColumn<QJsonObject>("script");
        // The substitute GPU library: "built" before the start, else the compiler that builds it.
        QTest::addColumn<QString>("stub");
        QTest::addColumn<QStringList>("statuses"); // first and last exactly, others may come between
        QTest::addColumn<QString>("error");        // empty: none
        QTest::addColumn<QStringList>("launches"); // summary() of each

        // Our own loader path is "/inherited"; only a CPU-only start with the substitute library
        // built replaces it. Every tenth poll tells how long it has been, the last one too.
        const QString inherited = QStringLiteral("8192 lib=/inherited"), tiny = QStringLiteral("Starting Tiny…");
        const QString loading5 = QStringLiteral("Loading… 5s (large models take up to 60s)");
        const QStringList cpuReady{"Starting Tiny (CPU only)…", "Ready — Tiny (CPU only)"};
        QTest::newRow("answers 503 while loading") << Attempt{} << QJsonObject{{"loadMs", 600}} << "built"
                                                   << QStringList{tiny, loading5, "Ready — Tiny"} << "" << QStringList{inherited};
        QTest::newRow("cpu only, no mapping, small context")
            << Attempt{0, true, 2048} << QJsonObject{{"loadMs", 100}} << "built"
            << QStringList{"Starting Tiny (CPU only) (no-mmap) (ctx 2048)…", cpuReady.last()} << ""
            << QStringList{"2048 --n-gpu-layers 0 --no-mmap lib=stub"};
        QTest::newRow("hung before binding, ignores terminate")
            << Attempt{} << QJsonObject{{"hang", true}, {"ignoreSigterm", true}, {"stderr", "stuck"}} << "built"
            << QStringList{tiny, loading5, "Loading… 20s (large models take up to 60s)",
                           "Timed out — try a smaller model or quantization (Q4_K_M)"} << "stuck" << QStringList{inherited};

        // Megabytes on both pipes: an engine whose pipes are not read blocks and never exits. Of
        // the error log the last 64 KiB are kept; that cut falls inside a two-byte character,
        // which is dropped.
        const QString failed = QStringLiteral("Failed to start — see error below");
        QTest::newRow("flooded pipes keep the tail of the log")
            << Attempt{} << QJsonObject{{"stdoutBytes", 4 * 1024 * 1024}, {"stderr", QString(100000, QChar(0xE9)) + "\nlast word\n"},
                                        {"loadMs", 600000}, {"exitAfterMs", 600}, {"exitCode", 1}}
            << "built" << QStringList{tiny, loading5, failed} << QString(32762, QChar(0xE9)) + "\nlast word\n[exit 1]" << QStringList{inherited};

        // Early exits: a retry with safer settings, or the report.
        const QString gpuFailure = QStringLiteral("GPU incompatible — building CPU-only workaround…");
        const QStringList cpuRetry{inherited, "8192 --n-gpu-layers 0 lib=stub"};
        QTest::newRow("gpu backend failure: the library is built, cpu retry")
            << Attempt{} << starts(R"([{"stderr":"ggml_metal_init: failed to allocate","exitCode":1},{}])") << "/usr/bin/cc"
            << QStringList{tiny, gpuFailure, "Retrying without Metal GPU…", cpuReady.first(), cpuReady.last()} << "" << cpuRetry;
        QTest::newRow("backend marker in any case beats a bus error")
            << Attempt{} << starts(R"([{"stderr":"fatal: GGML_METAL_DEVICE lost","signal":"SIGBUS"},{}])") << "built"
            << QStringList{tiny, gpuFailure, cpuReady.last()} << "" << cpuRetry;
        QTest::newRow("library cannot be built: cpu retry without it")
            << Attempt{} << starts(R"([{"stderr":"ggml_metal: error","exitCode":1},{}])") << "/bin/false"
            << QStringList{tiny, "Retrying without Metal GPU…", cpuReady.last()} << "" << QStringList{inherited, "8192 --n-gpu-layers 0 lib=/inherited"};
        QTest::newRow("backend marker on a cpu start is reported")
            << Attempt{0, false, std::nullopt} << starts(R"([{"stderr":"ggml_metal: no device\n","exitCode":1}])") << "built"
            << QStringList{cpuReady.first(), failed} << "ggml_metal: no device\n[exit 1]" << QStringList{"8192 --n-gpu-layers 0 lib=stub"};
        QTest::newRow("segmentation fault: trimmed log, inner lines kept")
            << Attempt{} << starts(R"([{"stderr":"\n  llama_model_load: error\n\nmodel \r\n","signal":"SIGSEGV"}])") << "built"
            << QStringList{tiny, failed} << "llama_model_load: error\n\nmodel\n[crash signal 11]" << QStringList{inherited};
        QTest::newRow("exit code of the bus error number is no bus error")
            << Attempt{} << starts(QStringLiteral(R"([{"exitCode":%1}])").arg(SIGBUS).toUtf8()) << "built"
            << QStringList{tiny, failed} << QStringLiteral("[exit %1]").arg(SIGBUS) << QStringList{inherited};

        const QString repeatedCrash = QStringLiteral(
            "This model repeatedly crashed with a memory error (signal 10).\n\nPossible fixes:\n"
            "• Run 'brew upgrade llama.cpp' in Terminal to update the engine.\n"
            "• Try a smaller quantization like Q4_K_M or Q3_K_S.\n• The model may be too large for available RAM.");
        const QString modelFailed = QStringLiteral("Failed — model incompatible or too large");
        // Bus errors use up the ladder; the CPU fallback gives the full context back, for memory
        // pressure to shrink once more.
        QTest::newRow("five starts")
            << Attempt{} << starts(R"([{"signal":"SIGBUS"}, {"signal":"SIGBUS"}, {"stderr":"ggml_metal_init: error","exitCode":1},
                                      {"signal":"SIGBUS"}, {"signal":"SIGBUS"}])")
            << "built" << QStringList{tiny, "Memory error — retrying with direct file read…", "Starting Tiny (no-mmap)…",
                                      "Memory pressure — retrying with reduced context (2048)…", "Starting Tiny (no-mmap) (ctx 2048)…",
                                      "Starting Tiny (CPU only) (no-mmap)…", modelFailed} << repeatedCrash
            << QStringList{inherited, "8192 --no-mmap lib=/inherited", "2048 --no-mmap lib=/inherited",
                           "8192 --n-gpu-layers 0 --no-mmap lib=stub", "2048 --n-gpu-layers 0 --no-mmap lib=stub"};
    }

    void start()
    {
        QFETCH(Attempt, settings);
        QFETCH(QJsonObject, script);
        QFETCH(QString, stub);
        QFETCH(QStringList, statuses);
        QFETCH(QString, error);
        QFETCH(QStringList, launches);
        EngineFixture fixture;
        fixture.environment.lastPoll = 40;
        fixture.setEngineScript(script);
        const QString library = fixture.environment.metalStubDirectory + QStringLiteral("/libggml-metal.0.dylib");
        fixture.environment.compilerPath = stub == QLatin1String("built") ? QStringLiteral("/bin/false") : stub;
        QVERIFY(stub != QLatin1String("built") || (QDir().mkpath(fixture.environment.metalStubDirectory) && QFile(library).open(QIODevice::WriteOnly)));
        qputenv("DYLD_LIBRARY_PATH", "/inherited");
        const auto restore = qScopeGuard([] { qunsetenv("DYLD_LIBRARY_PATH"); });
        QStringList shown; // outlives the manager, which may still report as it goes
        ServerManager manager(fixture.environment, nullptr);
        connect(&manager, &ServerManager::statusMessageChanged, &manager, [&] { shown << manager.statusMessage(); });
        bool modelShownBeforeReady = false;
        connect(&manager, &ServerManager::activeModelChanged, &manager,
                [&] { modelShownBeforeReady = modelShownBeforeReady || !manager.isRunning(); });
        QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny"), settings.gpuLayers, std::nullopt,
                                           settings.noMmap, settings.contextSize));

        qsizetype from = 0;
        for (const QString &expected : statuses)
            QVERIFY2((from = shown.indexOf(expected, from)) >= 0, qPrintable(expected + " not in order in: " + shown.join('|')));
        QCOMPARE(shown.first(), statuses.first());
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
            launched << summary(fixture, launch);
        QCOMPARE(launched, launches);
        // An engine that did not come up is ended, even when it ignores the polite request.
        const qint64 pid = fixture.launches().last().value("pid").toInteger();
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
        QStringList statuses;
        ServerManager manager(fixture.environment, nullptr);
        const QString other = QStringLiteral("/models/other.gguf");
        auto first = manager.startServer(modelPath, QStringLiteral("Tiny"));
        QVERIFY(manager.isStarting());
        QCoro::waitFor(manager.startServer(other, QStringLiteral("Other")));
        QCOMPARE(manager.statusMessage(), QStringLiteral("Starting Tiny…"));
        QCoro::waitFor(std::move(first));
        QCOMPARE(manager.statusMessage(), QStringLiteral("Ready — Tiny"));
        QCOMPARE(fixture.launches().size(), 1);

        connect(&manager, &ServerManager::statusMessageChanged, &manager, [&] { statuses << manager.statusMessage(); });
        QCoro::waitFor(manager.startServer(other, QStringLiteral("Other")));
        QCOMPARE(statuses.mid(0, 2), (QStringList{"No model loaded", "Starting Other…"}));
        QCOMPARE(manager.statusMessage(), QStringLiteral("Ready — Other"));
        QCOMPARE(manager.activeModelName(), std::optional(QStringLiteral("Other")));

        manager.start(modelPath, QStringLiteral("Tiny"));
        QTRY_COMPARE(fixture.launches().size(), 3);
        const qint64 pid = fixture.launches().last().value("pid").toInteger();
        QCoro::waitFor(manager.stopServer());
        QVERIFY(!isAlive(pid));
        // The abandoned start must not come back with its own messages.
        QTest::qWait(20 * fixture.environment.pollIntervalMs);
        QCOMPARE(manager.statusMessage(), QStringLiteral("No model loaded"));
        QVERIFY(!manager.isStarting());
    }

    // An engine that ends on its own once it was ready is reported with the end of its log; the
    // model stays named so it can be loaded again, and nothing restarts by itself. (A kill is
    // followed with the real engines.)
    void stopsAfterReady()
    {
        QString log;
        for (int line = 1; line <= 50; ++line)
            log += QStringLiteral("log line %1\n").arg(line);
        EngineFixture fixture;
        fixture.setEngineScript({{"loadMs", 0}, {"stderr", log}, {"exitAfterMs", 400}, {"exitCode", 3}});
        ServerManager manager(fixture.environment, nullptr);
        QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny")));
        QVERIFY(manager.isRunning());
        QTRY_COMPARE(manager.statusMessage(), QStringLiteral("Engine stopped unexpectedly — see error below"));
        QVERIFY(!manager.isRunning() && !manager.isStarting() && manager.stoppedUnexpectedly());
        QCOMPARE(manager.activeModelName(), std::optional(QStringLiteral("Tiny")));
        QCOMPARE(manager.lastLaunchErrorText(), log.section(QLatin1Char('\n'), 10, 49) + QStringLiteral("\n[exit 3]"));
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

    // Something else listens on the engine's port: ours starts on the next free one and its log
    // says why, or with no other port the start fails saying so.
    void portTaken()
    {
        EngineFixture fixture;
        const int taken = fixture.environment.port;
        QTcpServer other;
        QVERIFY(other.listen(QHostAddress::LocalHost, quint16(taken)));
        fixture.setEngineScript(starts(R"([{"stderr":"bye","exitCode":1}])"));
        fixture.environment.portCount = 1;
        ServerManager cornered(fixture.environment, nullptr);
        QCoro::waitFor(cornered.startServer(modelPath, QStringLiteral("Tiny")));
        QCOMPARE(cornered.statusMessage(), QStringLiteral("Failed to start — see error below"));
        QCOMPARE(cornered.lastLaunchErrorText(), QStringLiteral("Morlo AI: ports %1 to %1 are all in use by other programs.").arg(taken));
        QVERIFY(fixture.launches().isEmpty());

        fixture.environment.portCount = 20;
        ServerManager manager(fixture.environment, nullptr);
        QSignalSpy portChanged(&manager, &ServerManager::portChanged);
        QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny")));
        const int port = manager.port();
        QVERIFY(port > taken && port < taken + 20);
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
