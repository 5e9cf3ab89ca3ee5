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

using RecoveryLadder::Termination;

namespace {

const QString modelPath = QStringLiteral("/models/tiny.gguf");
const QString stubLibrary = QStringLiteral("libggml-metal.0.dylib");

// Starts that exit early stay in loading until then, so the exit comes before any health answer.
QJsonArray starts(const char *json)
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

private slots:
    void initTestCase();
    void earlyExitReport_data();
    void earlyExitReport();
    void ladder_data();
    void ladder();
    void fiveStartChain();
    void metalStub_data();
    void metalStub();

private:
    // Built once with the real compiler; every CPU-only start below reuses it.
    QTemporaryDir m_stubParent;
    QString m_stubDirectory;
};

void TestRecoveryLadder::initTestCase()
{
    m_stubDirectory = QDir(m_stubParent.path()).filePath(QStringLiteral("Morlo AI/metal-stub"));
    EngineFixture fixture;
    fixture.environment.metalStubDirectory = m_stubDirectory;
    ServerManager manager(fixture.environment, nullptr);
    QCOMPARE(manager.buildMetalStub(), std::optional(m_stubDirectory));
    QFile source(QDir(m_stubDirectory).filePath(QStringLiteral("metal_stub.c")));
    QVERIFY(source.open(QIODevice::ReadOnly));
    QCOMPARE(source.readAll(), QByteArray("void ggml_backend_metal_reg(void) {}"));
    QVERIFY(QFileInfo(QDir(m_stubDirectory).filePath(stubLibrary)).size() > 0);
}

void TestRecoveryLadder::earlyExitReport_data()
{
    QTest::addColumn<QByteArray>("errorOutput");
    QTest::addColumn<bool>("bySignal");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("expected");
    QTest::newRow("text and exit") << QByteArray("\n  failed to load model \r\n") << false << 134
                                   << "failed to load model\n[exit 134]";
    QTest::newRow("nothing written") << QByteArray() << false << 1 << "[exit 1]";
    QTest::newRow("only white space") << QByteArray(" \n\t\n") << true << 11 << "[crash signal 11]";
    QTest::newRow("not UTF-8 counts as empty") << QByteArray("bad \xff\xfe bytes") << true << SIGBUS
                                               << QStringLiteral("[crash signal %1]").arg(SIGBUS);
    QTest::newRow("multi-line text kept inside") << QByteArray("a\n\nb") << false << 2 << "a\n\nb\n[exit 2]";
}

void TestRecoveryLadder::earlyExitReport()
{
    QFETCH(QByteArray, errorOutput);
    QFETCH(bool, bySignal);
    QFETCH(int, status);
    QFETCH(QString, expected);
    QCOMPARE(RecoveryLadder::earlyExitReport(errorOutput, Termination{bySignal, status}), expected);
}

void TestRecoveryLadder::ladder_data()
{
    QTest::addColumn<QJsonArray>("script");
    QTest::addColumn<std::optional<int>>("gpuLayers");
    QTest::addColumn<QString>("compiler");
    QTest::addColumn<QStringList>("expectedStatuses"); // in this order, others may come between
    QTest::addColumn<QString>("expectedError");        // empty: none
    QTest::addColumn<int>("expectedLaunches");
    QTest::addColumn<QString>("lastLibraryPath");     // "stub" or empty

    const std::optional<int> none;
    QTest::newRow("gpu backend failure retries on the cpu")
        << starts(R"([{"stderr":"ggml_metal_init: failed to allocate","exitAfterMs":50,"exitCode":1},{"loadMs":0}])")
        << none << "cc"
        << QStringList{"GPU incompatible — building CPU-only workaround…", "Retrying without Metal GPU…",
                       "Starting Tiny (CPU only)…", "Ready — Tiny (CPU only)"}
        << QString() << 2 << "stub";
    QTest::newRow("backend marker beats a bus error")
        << starts(R"([{"stderr":"fatal: GGML_METAL_DEVICE lost","exitAfterMs":50,"signal":"SIGBUS"},{"loadMs":0}])")
        << none << "cc"
        << QStringList{"GPU incompatible — building CPU-only workaround…", "Ready — Tiny (CPU only)"}
        << QString() << 2 << "stub";
    QTest::newRow("compiler failure still retries on the cpu")
        << starts(R"([{"stderr":"ggml_metal: error","exitAfterMs":50,"exitCode":1},{"loadMs":0}])")
        << none << "/bin/false"
        << QStringList{"Retrying without Metal GPU…", "Ready — Tiny (CPU only)"} << QString() << 2 << "";
    QTest::newRow("backend marker on a cpu start is reported")
        << starts(R"([{"stderr":"ggml_metal: no device\n","exitAfterMs":50,"exitCode":1}])")
        << std::optional(0) << "cc"
        << QStringList{"Starting Tiny (CPU only)…", "Failed to start — see error below"}
        << "ggml_metal: no device\n[exit 1]" << 1 << "stub";
    QTest::newRow("segmentation fault is reported")
        << starts(R"([{"stderr":"llama_model_load: error","exitAfterMs":50,"signal":"SIGSEGV"}])")
        << none << "cc" << QStringList{"Failed to start — see error below"}
        << "llama_model_load: error\n[crash signal 11]" << 1 << "";
    QTest::newRow("silent exit") << starts(R"([{"exitAfterMs":50,"exitCode":1}])") << none << "cc"
                                 << QStringList{"Failed to start — see error below"} << "[exit 1]" << 1 << "";
    QTest::newRow("exit code of the bus error number is no bus error")
        << starts(QStringLiteral(R"([{"exitAfterMs":50,"exitCode":%1}])").arg(SIGBUS).toUtf8().constData())
        << none << "cc" << QStringList{"Failed to start — see error below"}
        << QStringLiteral("[exit %1]").arg(SIGBUS) << 1 << "";
    QTest::newRow("abort while loading")
        << starts(R"([{"stderr":"failed to load model","exitAfterMs":50,"exitCode":134}])") << none << "cc"
        << QStringList{"Failed to start — see error below"} << "failed to load model\n[exit 134]" << 1 << "";
    QTest::newRow("bus errors use up the ladder")
        << starts(R"([{"exitAfterMs":50,"signal":"SIGBUS"}])") << none << "cc"
        << QStringList{"Memory error — retrying with direct file read…", "Starting Tiny (no-mmap)…",
                       "Memory pressure — retrying with reduced context (2048)…",
                       "Starting Tiny (no-mmap) (ctx 2048)…", "Failed — model incompatible or too large"}
        << RecoveryLadder::repeatedMemoryFaultText() << 3 << "";
}

void TestRecoveryLadder::ladder()
{
    QFETCH(QJsonArray, script);
    QFETCH(std::optional<int>, gpuLayers);
    QFETCH(QString, compiler);
    QFETCH(QStringList, expectedStatuses);
    QFETCH(QString, expectedError);
    QFETCH(int, expectedLaunches);
    QFETCH(QString, lastLibraryPath);

    EngineFixture fixture;
    // A failing compiler leaves a fresh folder without the library.
    if (compiler == QLatin1String("cc"))
        fixture.environment.metalStubDirectory = m_stubDirectory;
    else
        fixture.environment.compilerPath = compiler;
    fixture.setEngineScript({{"starts", script}});
    ServerManager manager(fixture.environment, nullptr);
    QStringList *statuses = EngineFixture::recordStatuses(manager);
    QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny"), gpuLayers));

    qsizetype from = 0;
    for (const QString &expected : expectedStatuses) {
        from = statuses->indexOf(expected, from);
        QVERIFY2(from >= 0, qPrintable(expected + QStringLiteral(" not in order in: ") + statuses->join('|')));
    }
    QCOMPARE(manager.statusMessage(), expectedStatuses.last());
    QCOMPARE(manager.lastLaunchError(), expectedError.isEmpty() ? std::nullopt : std::optional(expectedError));
    QCOMPARE(manager.isRunning(), manager.statusMessage().startsWith(QStringLiteral("Ready")));
    QVERIFY(!manager.isStarting());
    const QList<QJsonObject> launches = fixture.launches();
    QCOMPARE(launches.size(), expectedLaunches);
    QCOMPARE(EngineFixture::libraryPath(launches.last()), lastLibraryPath.isEmpty() ? QString() : m_stubDirectory);
    QCoro::waitFor(manager.stopServer());
}

void TestRecoveryLadder::fiveStartChain()
{
    EngineFixture fixture;
    fixture.environment.metalStubDirectory = m_stubDirectory;
    // The library exists: the compiler is not needed again.
    fixture.environment.compilerPath = fixture.path(QStringLiteral("no-compiler"));
    fixture.setEngineScript({{"starts", starts(R"([
        {"exitAfterMs":50,"signal":"SIGBUS"},
        {"exitAfterMs":50,"signal":"SIGBUS"},
        {"exitAfterMs":50,"stderr":"ggml_metal_init: error","exitCode":1},
        {"exitAfterMs":50,"signal":"SIGBUS"},
        {"exitAfterMs":50,"signal":"SIGBUS"}])")}});
    ServerManager manager(fixture.environment, nullptr);
    QCoro::waitFor(manager.startServer(modelPath, QStringLiteral("Tiny")));

    const QList<QJsonObject> launches = fixture.launches();
    QCOMPARE(launches.size(), 5);
    const auto common = [&](const char *context) {
        return QStringList{"--model", modelPath, "--ctx-size", context, "--port",
                           QString::number(fixture.environment.port), "--host", "127.0.0.1", "--n-predict", "-1"};
    };
    const QList<QStringList> expected{
        common("8192"),
        common("8192") << "--no-mmap",
        common("2048") << "--no-mmap",
        common("8192") << "--n-gpu-layers" << "0" << "--no-mmap",
        common("2048") << "--n-gpu-layers" << "0" << "--no-mmap",
    };
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(EngineFixture::arguments(launches.at(i)), expected.at(i));
        QCOMPARE(EngineFixture::libraryPath(launches.at(i)), i >= 3 ? m_stubDirectory : QString());
    }
    QCOMPARE(manager.statusMessage(), QStringLiteral("Failed — model incompatible or too large"));
    QCOMPARE(manager.lastLaunchError(), std::optional(RecoveryLadder::repeatedMemoryFaultText()));
    QVERIFY(!manager.isStarting());
    QVERIFY(!manager.isRunning());
}

void TestRecoveryLadder::metalStub_data()
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

void TestRecoveryLadder::metalStub()
{
    QFETCH(QString, directory);
    QFETCH(QString, compiler);
    QFETCH(bool, built);
    EngineFixture fixture;
    fixture.environment.compilerPath = compiler;
    if (directory == QLatin1String("shared"))
        fixture.environment.metalStubDirectory = m_stubDirectory;
    else if (directory == QLatin1String("none"))
        fixture.environment.metalStubDirectory.clear();
    else if (directory == QLatin1String("blocked")) {
        QFile file(fixture.path(QStringLiteral("file")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        fixture.environment.metalStubDirectory = fixture.path(QStringLiteral("file/metal-stub"));
    }
    const QDateTime before = QFileInfo(QDir(m_stubDirectory).filePath(stubLibrary)).lastModified();
    ServerManager manager(fixture.environment, nullptr);
    const std::optional<QString> result = manager.buildMetalStub();
    QCOMPARE(result, built ? std::optional(fixture.environment.metalStubDirectory) : std::nullopt);
    QCOMPARE(QFileInfo(QDir(m_stubDirectory).filePath(stubLibrary)).lastModified(), before);
}

QTEST_GUILESS_MAIN(TestRecoveryLadder)
#include "tst_recovery_ladder.moc"
