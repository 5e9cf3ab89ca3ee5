#include "LocalHub.h"
#include "TestSupport.h"
#include "conversation/AgentState.h"
#include "engine/ServerManager.h"
#include "models/ModelListModel.h"
#include "models/ModelManager.h"
#include "platform/AppPaths.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

namespace {
constexpr qint64 gigabyte = 1073741824;

DownloadTiming shortTiming()
{
    DownloadTiming timing;
    timing.requestTimeout = std::chrono::milliseconds(300);
    return timing;
}

QString pathOf(const ModelManager &manager, int index)
{
    const HFModel &model = manager.models().at(index);
    return ModelManager::localFileURL(model, model.variants.first()).toLocalFile();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

const ModelVariant &variantOf(const ModelManager &manager, int index)
{
    return manager.models().at(index).variants.first();
}

void download(ModelManager &manager, int index)
{
    const HFModel model = manager.models().at(index);
    manager.downloadVariant(model, model.variants.first());
}

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}
} // namespace

class TestModelManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void freshInstallation();
    void memoryWarning_data();
    void memoryWarning();
    void refreshFromDisk();
    void downloadOutcomes_data();
    void downloadOutcomes();
    void startingTwiceChangesNothing();
    void cancelResetsAndReportsOnce();
    void parallelDownloadsReplaceExistingFiles();
    void unwritableDestination();
    void quittingMidDownloadLeavesNothing();
    void deleteVariant_data();
    void deleteVariant();
    void loadStartsTheEngine();

private:
    std::unique_ptr<ServerManager> makeEngine();
    LocalHub m_hub;
    QTemporaryDir m_engineDir;
};

void TestModelManager::initTestCase()
{
    QVERIFY(m_hub.isListening());
}

void TestModelManager::init()
{
    TestSupport::resetUserData();
}

std::unique_ptr<ServerManager> TestModelManager::makeEngine()
{
    EngineEnvironment environment = EngineEnvironment::standard();
    environment.engineCandidates = {QDir(TestSupport::fakesDirectory()).filePath(QStringLiteral("fake-llama-server"))};
    environment.homebrewLocations = {};
    environment.enginePidFile = m_engineDir.filePath(QStringLiteral("engine.pid"));
    environment.port = freePort();
    environment.pollIntervalMs = 20;
    return std::make_unique<ServerManager>(environment, nullptr);
}

void TestModelManager::freshInstallation()
{
    ModelManager manager;
    QCOMPARE(manager.models().size(), 3);
    for (const HFModel &model : manager.models())
        QVERIFY(!model.variants.first().isDownloaded);
    QVERIFY(!manager.lastError());
    const QDir models(QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
                          .filePath(QStringLiteral("Morlo AI/models")));
    QVERIFY(models.exists());
    QVERIFY(models.entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
    QCOMPARE(pathOf(manager, 0), models.filePath(QStringLiteral(
        "tessoran_Llama-3.2-3B-Instruct-GGUF/Llama-3.2-3B-Instruct-Q4_K_M.gguf")));
    QCOMPARE(manager.variantList()->rowCount(), 3);
    QVERIFY(manager.physicalMemoryBytes() > 0);
}

void TestModelManager::memoryWarning_data()
{
    QTest::addColumn<qint64>("memory");
    QTest::addColumn<QList<bool>>("warned");
    QTest::addColumn<qint64>("shownGB");
    QTest::newRow("4 GB") << 4 * gigabyte << QList<bool>{false, true, false} << 4ll;
    QTest::newRow("2 GB") << 2 * gigabyte << QList<bool>{true, true, true} << 2ll;
    QTest::newRow("just enough for 2.0 GB") << qint64(2.4 * gigabyte) << QList<bool>{false, true, false} << 2ll;
    QTest::newRow("one byte short") << qint64(2.4 * gigabyte) - 1 << QList<bool>{true, true, false} << 2ll;
    QTest::newRow("6 GB less a byte") << 6 * gigabyte - 1 << QList<bool>{false, false, false} << 5ll;
}

void TestModelManager::memoryWarning()
{
    QFETCH(qint64, memory);
    QFETCH(QList<bool>, warned);
    ModelManager manager;
    QSignalSpy rowsChanged(manager.variantList(), &QAbstractItemModel::dataChanged);
    manager.setPhysicalMemoryBytes(memory);
    QCOMPARE(rowsChanged.size(), 1);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(manager.exceedsAvailableRAM(variantOf(manager, i)), warned[i]);
        QCOMPARE(manager.variantList()->index(i).data(ModelListModel::ExceedsAvailableRAMRole).toBool(), warned[i]);
    }
    QTEST(manager.physicalMemoryGB(), "shownGB");
    QFETCH(qint64, shownGB);
    QCOMPARE(manager.memoryWarningText(),
             QStringLiteral("May exceed available RAM (%1 GB). Model may load slowly or fail.").arg(shownGB));
}

void TestModelManager::refreshFromDisk()
{
    ModelManager manager;
    QSignalSpy rowsChanged(manager.variantList(), &QAbstractItemModel::dataChanged);
    writeFile(pathOf(manager, 2), "gguf");
    writeFile(QFileInfo(pathOf(manager, 1)).absolutePath() + QStringLiteral("/other.gguf"), "gguf");
    manager.refreshDownloadStatus();
    QCOMPARE(rowsChanged.size(), 1);
    QCOMPARE(rowsChanged.first().at(0).toModelIndex().row(), 2);
    QCOMPARE(rowsChanged.first().at(1).toModelIndex().row(), 2);
    QVERIFY(!variantOf(manager, 0).isDownloaded);
    QVERIFY(!variantOf(manager, 1).isDownloaded);
    QVERIFY(variantOf(manager, 2).isDownloaded);
    QVERIFY(manager.variantList()->index(2).data(ModelListModel::HasDownloadedVariantRole).toBool());
    // A second look at the same disk publishes nothing.
    manager.refreshDownloadStatus();
    QCOMPARE(rowsChanged.size(), 1);
    QFile::remove(pathOf(manager, 2));
    manager.refreshDownloadStatus();
    QVERIFY(!variantOf(manager, 2).isDownloaded);
}

void TestModelManager::downloadOutcomes_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("lastError");  // empty = succeeds
    QTest::addColumn<bool>("showsProgress");
    QTest::newRow("completes") << "size=3000000,rate=6000000" << QString() << true;
    QTest::newRow("no length") << "size=300000,nolength,rate=3000000" << QString() << false;
    QTest::newRow("stalls") << "size=300000,stall=1000" << "Download failed: The request timed out." << true;
    QTest::newRow("cut") << "size=300000,cut" << "Download failed: " << true;
}

void TestModelManager::downloadOutcomes()
{
    QFETCH(QString, script);
    QFETCH(QString, lastError);
    QFETCH(bool, showsProgress);
    ModelManager manager(m_hub.baseURL(script), shortTiming());
    ModelListModel *list = manager.variantList();
    QSignalSpy rowsChanged(list, &QAbstractItemModel::dataChanged);
    QList<QString> progressTexts;
    connect(list, &QAbstractItemModel::dataChanged, this, [&](const QModelIndex &from, const QModelIndex &to) {
        QCOMPARE(from.row(), 1);  // each change redraws its own row only
        QCOMPARE(to.row(), 1);
        progressTexts.append(from.data(ModelListModel::ProgressTextRole).toString());
    });

    download(manager, 1);
    QVERIFY(variantOf(manager, 1).isDownloading);
    QVERIFY(variantOf(manager, 1).downloadStartTime);
    QVERIFY(manager.hasActiveSession(variantOf(manager, 1).id));
    QTRY_VERIFY_WITH_TIMEOUT(!variantOf(manager, 1).isDownloading, 20'000);

    const ModelVariant &variant = variantOf(manager, 1);
    QVERIFY(!variant.downloadStartTime);
    QVERIFY(!manager.hasActiveSession(variant.id));
    QCOMPARE(progressTexts.size() > 2, showsProgress);
    if (lastError.isEmpty()) {
        QVERIFY2(!manager.lastError(), qPrintable(manager.lastErrorText()));
        QVERIFY(variant.isDownloaded);
        QCOMPARE(variant.downloadProgress, 1.0);
        QVERIFY(QFileInfo::exists(pathOf(manager, 1)));
        if (showsProgress)
            QCOMPARE(progressTexts.at(progressTexts.size() - 2), QStringLiteral("3 / 3 MB · 100%"));
        else
            QCOMPARE(variant.downloadedBytes, 0);
    } else {
        QVERIFY2(manager.lastErrorText().startsWith(lastError), qPrintable(manager.lastErrorText()));
        QVERIFY(!variant.isDownloaded);
        QCOMPARE(variant.downloadProgress, 0.0);
        QVERIFY(!QFileInfo::exists(pathOf(manager, 1)));
        QSignalSpy cleared(&manager, &ModelManager::lastErrorChanged);
        manager.clearLastError();
        QCOMPARE(cleared.size(), 1);
        QVERIFY(!manager.lastError());
    }
    QCOMPARE(QDir(QFileInfo(pathOf(manager, 1)).absolutePath()).entryList(QDir::Files | QDir::Hidden).size(),
             lastError.isEmpty() ? 1 : 0);
}

void TestModelManager::startingTwiceChangesNothing()
{
    ModelManager manager(m_hub.baseURL(QStringLiteral("size=2000000,rate=1000000")), DownloadTiming{});
    download(manager, 0);
    const ModelVariant started = variantOf(manager, 0);
    QSignalSpy changes(&manager, &ModelManager::variantChanged);
    download(manager, 0);
    QCOMPARE(changes.size(), 0);
    QCOMPARE(variantOf(manager, 0), started);
    QTRY_VERIFY_WITH_TIMEOUT(variantOf(manager, 0).isDownloaded, 20'000);
    QVERIFY(!manager.lastError());
    QCOMPARE(QFileInfo(pathOf(manager, 0)).size(), 2000000);
}

void TestModelManager::cancelResetsAndReportsOnce()
{
    ModelManager manager(m_hub.baseURL(QStringLiteral("size=10000000,rate=1000000")), DownloadTiming{});
    ModelListModel *list = manager.variantList();
    list->download(0);
    QTRY_VERIFY(variantOf(manager, 0).downloadedBytes > 0);
    QSignalSpy errors(&manager, &ModelManager::lastErrorChanged);
    list->cancel(0);
    const ModelVariant &variant = variantOf(manager, 0);
    QVERIFY(!variant.isDownloading && !variant.downloadStartTime);
    QCOMPARE(variant.downloadProgress, 0.0);
    QCOMPARE(variant.downloadedBytes, 0);
    QCOMPARE(variant.totalBytes, 0);
    QVERIFY(!manager.hasActiveSession(variant.id));
    // The stopped transfer reports its cancellation afterwards, as a failure.
    QTRY_COMPARE(errors.size(), 1);
    QVERIFY2(manager.lastErrorText().startsWith(QStringLiteral("Download failed: ")), qPrintable(manager.lastErrorText()));
    QVERIFY(!variantOf(manager, 0).isDownloaded);
    QVERIFY(QDir(QFileInfo(pathOf(manager, 0)).absolutePath()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

void TestModelManager::parallelDownloadsReplaceExistingFiles()
{
    ModelManager manager(m_hub.baseURL(QStringLiteral("size=1500000,rate=3000000")), DownloadTiming{});
    for (int i = 0; i < 3; ++i)
        writeFile(pathOf(manager, i), "an older copy");
    manager.refreshDownloadStatus();
    for (int i = 0; i < 3; ++i)
        download(manager, i);
    QTRY_VERIFY(variantOf(manager, 0).downloadedBytes > 0 && variantOf(manager, 1).downloadedBytes > 0
                && variantOf(manager, 2).downloadedBytes > 0);
    // Until a transfer completes, the older copy stays where it was.
    QVERIFY(!variantOf(manager, 0).isDownloading || QFileInfo(pathOf(manager, 0)).size() == 13);
    QTRY_VERIFY_WITH_TIMEOUT(!variantOf(manager, 0).isDownloading && !variantOf(manager, 1).isDownloading
                             && !variantOf(manager, 2).isDownloading, 20'000);
    QVERIFY(!manager.lastError());
    for (int i = 0; i < 3; ++i) {
        QVERIFY(variantOf(manager, i).isDownloaded);
        QCOMPARE(QFileInfo(pathOf(manager, i)).size(), 1500000);
    }
}

void TestModelManager::unwritableDestination()
{
    ModelManager manager(m_hub.baseURL(QStringLiteral("size=1000")), DownloadTiming{});
    // A file where the repository folder belongs: nothing can be written below it.
    const QString repoDir = QFileInfo(pathOf(manager, 2)).absolutePath();
    writeFile(repoDir, "in the way");
    download(manager, 2);
    QTRY_VERIFY(!variantOf(manager, 2).isDownloading);
    QVERIFY2(manager.lastErrorText().startsWith(QStringLiteral("Download failed: ")), qPrintable(manager.lastErrorText()));
    QVERIFY(!variantOf(manager, 2).isDownloaded);
    QFile blocker(repoDir);
    QVERIFY(blocker.open(QIODevice::ReadOnly));
    QCOMPARE(blocker.readAll(), QByteArray("in the way"));
}

void TestModelManager::quittingMidDownloadLeavesNothing()
{
    auto manager = std::make_unique<ModelManager>(m_hub.baseURL(QStringLiteral("size=10000000,rate=2000000")),
                                                  DownloadTiming{});
    const QDir repoDir = QFileInfo(pathOf(*manager, 0)).absoluteDir();
    download(*manager, 0);
    QTRY_VERIFY(variantOf(*manager, 0).downloadedBytes > 0);
    manager.reset();
    QTest::qWait(50);
    QVERIFY(repoDir.entryList(QDir::Files | QDir::Hidden).isEmpty());
    // The next run sees the file as absent.
    ModelManager next;
    QVERIFY(!variantOf(next, 0).isDownloaded);
}

void TestModelManager::deleteVariant_data()
{
    QTest::addColumn<bool>("engineOnThisFile");
    QTest::addColumn<bool>("autoLoadsThisFile");
    QTest::addColumn<bool>("fileExists");
    QTest::newRow("engine and auto-load on this file") << true << true << true;
    QTest::newRow("engine on this file") << true << false << true;
    QTest::newRow("auto-load only") << false << true << true;
    QTest::newRow("another file in use") << false << false << true;
    QTest::newRow("file already gone") << false << false << false;
}

void TestModelManager::deleteVariant()
{
    QFETCH(bool, engineOnThisFile);
    QFETCH(bool, autoLoadsThisFile);
    QFETCH(bool, fileExists);
    auto engine = makeEngine();
    AgentState agentState;
    ModelManager manager;
    manager.setServerManager(engine.get());
    manager.setAgentState(&agentState);
    const int victim = 2;
    const int other = 0;
    writeFile(pathOf(manager, other), "other");
    if (fileExists)
        writeFile(pathOf(manager, victim), "victim");
    manager.refreshDownloadStatus();

    const int running = engineOnThisFile ? victim : other;
    engine->startServer(pathOf(manager, running), QStringLiteral("running"));
    QTRY_VERIFY_WITH_TIMEOUT(engine->isRunning(), 20'000);
    const int autoLoad = autoLoadsThisFile ? victim : other;
    agentState.setAutoLoadModel(pathOf(manager, autoLoad), QStringLiteral("auto"));
    agentState.save();

    const HFModel model = manager.models().at(victim);
    manager.deleteVariant(model, model.variants.first());
    // The file is gone before the engine is asked to stop.
    QVERIFY(!QFileInfo::exists(pathOf(manager, victim)));
    QVERIFY(engine->isRunning());
    QVERIFY(!variantOf(manager, victim).isDownloaded);
    QCOMPARE(variantOf(manager, victim).downloadProgress, 0.0);
    // The repository folder stays.
    QCOMPARE(QFileInfo(pathOf(manager, victim)).absoluteDir().exists(), fileExists);
    QVERIFY(QFileInfo::exists(pathOf(manager, other)));

    if (engineOnThisFile)
        QTRY_VERIFY_WITH_TIMEOUT(!engine->isRunning(), 20'000);
    else
        QTest::qWait(100);
    QCOMPARE(engine->isRunning(), !engineOnThisFile);

    QCOMPARE(agentState.autoLoadModelPath().has_value(), !autoLoadsThisFile);
    agentState.flush();
    // What the next start will read.
    AgentState reloaded;
    QCOMPARE(reloaded.autoLoadModelPath().has_value(), !autoLoadsThisFile);
    QCOMPARE(reloaded.autoLoadModelName().has_value(), !autoLoadsThisFile);

    QCoro::waitFor(engine->stopServer());
}

void TestModelManager::loadStartsTheEngine()
{
    auto engine = makeEngine();
    ModelManager manager;
    manager.variantList()->load(2);  // without an engine nothing happens
    manager.setServerManager(engine.get());
    writeFile(pathOf(manager, 2), "gguf");
    manager.variantList()->load(2);
    QTRY_VERIFY_WITH_TIMEOUT(engine->isRunning(), 20'000);
    QCOMPARE(engine->activeModelPath(), pathOf(manager, 2));
    QCOMPARE(engine->activeModelName(), QStringLiteral("Qwen 2.5 3B Instruct Q4_K_M"));
    QCOMPARE(manager.variantList()->index(2).data(ModelListModel::LocalPathRole).toString(), *engine->activeModelPath());
    QCoro::waitFor(engine->stopServer());
}

QTEST_GUILESS_MAIN(TestModelManager)
#include "tst_model_manager.moc"
