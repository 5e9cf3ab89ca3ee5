#include "EngineFixture.h"
#include "engine/RecoveryLadder.h"
#include "engine/ServerManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTest>
#include <qcorotask.h>

#include <csignal>

Q_DECLARE_METATYPE(std::optional<int>)

namespace {

const QString modelPath = QStringLiteral("/models/tiny.gguf");
const QString failedToStart = QStringLiteral("Failed to start — see error below");
const QString repeatedCrash = QStringLiteral(
    "This model repeatedly crashed with a memory error (signal 10).\n\nPossible fixes:\n"
    "• Run 'brew upgrade llama.cpp' in Terminal to update the engine.\n"
    "• Try a smaller quantization like Q4_K_M or Q3_K_S.\n• The model may be too large for available RAM.");

// One script entry per start. Starts that exit early stay in loading until then, so the exit
// comes before any health answer.
QJsonArray starts(const QByteArray &json)
{
    QJsonArray result;
    for (const QJsonValue &value : QJsonDocument::fromJson(json).array()) {
        QJsonObject start = value.toObject();
        if (start.contains(QStringLiteral("exitAfterMs")))
            start.insert(QStringLiteral("loadMs"), 600000);
        result << start;
    }
    return result;
}

} // namespace

class TestRecoveryLadder : public QObject
{
    Q_OBJECT

    // Built once with the real compiler; every CPU-only start below reuses it.
    QTemporaryDir m_stubParent;
    const QString m_stubDirectory = QDir(m_stubParent.path()).filePath(QStringLiteral("Morlo AI/metal-stub"));
    const QString m_stubLibrary = QDir(m_stubDirectory).filePath(QStringLiteral("libggml-metal.0.dylib"));

private slots:
    void initTestCase()
    {
        EngineFixture fixture;
        fixture.environment.metalStubDirectory = m_stubDirectory;
        QCOMPARE(ServerManager(fixture.environment, nullptr).buildMetalStub(), std::optional(m_stubDirectory));
        QFile source(QDir(m_stubDirectory).filePath(QStringLiteral("metal_stub.c")));
        QVERIFY(source.open(QIODevice::ReadOnly));
        QCOMPARE(source.readAll(), QByteArray("void ggml_backend_metal_reg(void) {}"));
        QVERIFY(QFileInfo(m_stubLibrary).size() > 0);
    }

    void earlyExitReport_data()
    {
        QTest::addColumn<QByteArray>("errorOutput");
        QTest::addColumn<bool>("bySignal");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("expected");
        QTest::newRow("trimmed text, inner lines kept") << QByteArray("\n  failed to load\n\nmodel \r\n") << false << 134
                                                        << "failed to load\n\nmodel\n[exit 134]";
        QTest::newRow("nothing written") << QByteArray() << false << 1 << "[exit 1]";
        QTest::newRow("only white space") << QByteArray(" \n\t\n") << true << 11 << "[crash signal 11]";
        QTest::newRow("not UTF-8 counts as empty") << QByteArray("bad \xff\xfe bytes") << true << 7 << "[crash signal 7]";
    }

    void earlyExitReport()
    {
        QFETCH(QByteArray, errorOutput);
        QFETCH(bool, bySignal);
        QFETCH(int, status);
        QFETCH(QString, expected);
        QCOMPARE(RecoveryLadder::earlyExitReport(errorOutput, RecoveryLadder::Termination{bySignal, status}), expected);
    }

    void ladder_data()
    {
        QTest::addColumn<QJsonArray>("script");
        QTest::addColumn<std::optional<int>>("gpuLayers");
        QTest::addColumn<bool>("stubBuilds");       // false: a fresh folder and a failing compiler
        QTest::addColumn<QStringList>("statuses"); // in this order, others may come between
        QTest::addColumn<QString>("error");        // empty: none
        QTest::addColumn<QStringList>("launches"); // EngineFixture::launchSummary of each start

        const std::optional<int> none;
        const QStringList cpuRetry{"8192", "8192 --n-gpu-layers 0 lib=stub"};
        QTest::newRow("gpu backend failure retries on the cpu")
            << starts(R"([{"stderr":"ggml_metal_init: failed to allocate","exitAfterMs":50,"exitCode":1},{"loadMs":0}])")
            << none << true
            << QStringList{"GPU incompatible — building CPU-only workaround…", "Retrying without Metal GPU…",
                           "Starting Tiny (CPU only)…", "Ready — Tiny (CPU only)"}
            << QString() << cpuRetry;
        QTest::newRow("backend marker in any case beats a bus error")
            << starts(R"([{"stderr":"fatal: GGML_METAL_DEVICE lost","exitAfterMs":50,"signal":"SIGBUS"},{"loadMs":0}])")
            << none << true << QStringList{"GPU incompatible — building CPU-only workaround…", "Ready — Tiny (CPU only)"}
            << QString() << cpuRetry;
        QTest::newRow("compiler failure still retries on the cpu")
            << starts(R"([{"stderr":"ggml_metal: error","exitAfterMs":50,"exitCode":1},{"loadMs":0}])") << none << false
            << QStringList{"Retrying without Metal GPU…", "Ready — Tiny (CPU only)"} << QString()
            << QStringList{"8192", "8192 --n-gpu-layers 0"};
        QTest::newRow("backend marker on a cpu start is reported")
            << starts(R"([{"stderr":"ggml_metal: no device\n","exitAfterMs":50,"exitCode":1}])") << std::optional(0) << true
            << QStringList{"Starting Tiny (CPU only)…", failedToStart} << "ggml_metal: no device\n[exit 1]"
            << QStringList{"8192 --n-gpu-layers 0 lib=stub"};
        QTest::newRow("segmentation fault is reported")
            << starts(R"([{"stderr":"llama_model_load: error","exitAfterMs":50,"signal":"SIGSEGV"}])") << none << true
            << QStringList{failedToStart} << "llama_model_load: error\n[crash signal 11]" << QStringList{"8192"};
        QTest::newRow("exit code of the bus error number is no bus error")
            << starts(QStringLiteral(R"([{"exitAfterMs":50,"exitCode":%1}])").arg(SIGBUS).toUtf8()) << none << true
            << QStringList{failedToStart} << QStringLiteral("[exit %1]").arg(SIGBUS) << QStringList{"8192"};
        QTest::newRow("bus errors use up the ladder")
            << starts(R"([{"exitAfterMs":50,"signal":"SIGBUS"}])") << none << true
            << QStringList{"Memory error — retrying with direct file read…", "Starting Tiny (no-mmap)…",
                           "Memory pressure — retrying with reduced context (2048)…",
                           "Starting Tiny (no-mmap) (ctx 2048)…", "Failed — model incompatible or too large"}
            << repeatedCrash << QStringList{"8192", "8192 --no-mmap", "2048 --no-mmap"};
        // The longest chain: the CPU fallback gives the full context back, for memory pressure to
        // shrink once more.
        QTest::newRow("five starts")
            << starts(R"([{"exitAfterMs":50,"signal":"SIGBUS"}, {"exitAfterMs":50,"signal":"SIGBUS"},
                         {"exitAfterMs":50,"stderr":"ggml_metal_init: error","exitCode":1},
                         {"exitAfterMs":50,"signal":"SIGBUS"}, {"exitAfterMs":50,"signal":"SIGBUS"}])")
            << none << true << QStringList{"Starting Tiny (CPU only) (no-mmap)…", "Failed — model incompatible or too large"}
            << repeatedCrash
            << QStringList{"8192", "8192 --no-mmap", "2048 --no-mmap", "8192 --n-gpu-layers 0 --no-mmap lib=stub",
                           "2048 --n-gpu-layers 0 --no-mmap lib=stub"};
    }

    void ladder()
    {
        QFETCH(QJsonArray, script);
        QFETCH(std::optional<int>, gpuLayers);
        QFETCH(bool, stubBuilds);
        QFETCH(QStringList, statuses);
        QFETCH(QString, error);
        QFETCH(QStringList, launches);
        EngineFixture fixture;
        if (stubBuilds)
            fixture.environment.metalStubDirectory = m_stubDirectory;
        else
            fixture.environment.compilerPath = QStringLiteral("/bin/false");
        fixture.setEngineScript({{"starts", script}});
        ServerManager manager(fixture.environment, nullptr);
        QStringList *shown = EngineFixture::recordStatuses(manager);
        QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny"), gpuLayers));

        qsizetype from = 0;
        for (const QString &expected : statuses)
            QVERIFY2((from = shown->indexOf(expected, from)) >= 0, qPrintable(expected + " not in order in: " + shown->join('|')));
        QCOMPARE(manager.statusMessage(), statuses.last());
        QCOMPARE(manager.lastLaunchError(), error.isEmpty() ? std::nullopt : std::optional(error));
        QVERIFY(manager.isRunning() == manager.statusMessage().startsWith(QStringLiteral("Ready")) && !manager.isStarting());
        QStringList launched;
        for (const QJsonObject &launch : fixture.launches())
            launched << fixture.launchSummary(launch, modelPath);
        QCOMPARE(launched, launches);
    }

    void metalStub_data()
    {
        QTest::addColumn<QString>("directory"); // "shared": the one built above; "fresh"; "none"; "blocked"
        QTest::addColumn<QString>("compiler");
        QTest::addColumn<bool>("built");
        QTest::newRow("already built needs no compiler") << "shared" << "/nonexistent/cc" << true;
        QTest::newRow("compiler missing") << "fresh" << "/nonexistent/cc" << false;
        QTest::newRow("compile error") << "fresh" << "/bin/false" << false;
        QTest::newRow("no data folder") << "none" << "/usr/bin/cc" << false;
        QTest::newRow("folder cannot be created") << "blocked" << "/usr/bin/cc" << false;
    }

    void metalStub()
    {
        QFETCH(QString, directory);
        QFETCH(QString, compiler);
        QFETCH(bool, built);
        EngineFixture fixture;
        QString &stub = fixture.environment.metalStubDirectory;
        fixture.environment.compilerPath = compiler;
        QVERIFY(QFile(fixture.path(QStringLiteral("file"))).open(QIODevice::WriteOnly));
        stub = directory == QLatin1String("shared") ? m_stubDirectory
            : directory == QLatin1String("none")    ? QString()
            : directory == QLatin1String("blocked") ? fixture.path(QStringLiteral("file/metal-stub"))
                                                    : stub;
        const QDateTime before = QFileInfo(m_stubLibrary).lastModified();
        QCOMPARE(ServerManager(fixture.environment, nullptr).buildMetalStub(), built ? std::optional(stub) : std::nullopt);
        QCOMPARE(QFileInfo(m_stubLibrary).lastModified(), before);
    }
};

QTEST_GUILESS_MAIN(TestRecoveryLadder)
#include "tst_recovery_ladder.moc"
