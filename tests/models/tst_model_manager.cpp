#include "LocalHub.h"
#include "TestSupport.h"
#include "conversation/AgentState.h"
#include "engine/ServerManager.h"
#include "models/ModelListModel.h"
#include "models/ModelManager.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

namespace {
constexpr qint64 gigabyte = 1073741824;

QString pathOf(const ModelManager &manager, int index)
{
    const HFModel &model = manager.models().at(index);
    return ModelManager::localFileURL(model, model.variants.first()).toLocalFile();
}

// The files in the folder of that catalogue entry, hidden ones included.
QStringList filesBeside(const ModelManager &manager, int index)
{
    return QFileInfo(pathOf(manager, index)).absoluteDir().entryList(QDir::Files | QDir::Hidden);
}

const ModelVariant &variantOf(const ModelManager &manager, int index)
{
    return manager.models().at(index).variants.first();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}
} // namespace

class TestModelManager : public QObject
{
    Q_OBJECT

    LocalHub m_hub;
    QTemporaryDir m_engineDir;

    // Downloads from the local hub answering by this script; a stall fails after 300 ms, not a minute.
    std::unique_ptr<ModelManager> managerFor(const QString &script)
    {
        DownloadTiming timing;
        timing.requestTimeout = std::chrono::milliseconds(300);
        return std::make_unique<ModelManager>(m_hub.baseURL(script), timing);
    }

    std::unique_ptr<ServerManager> makeEngine()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        EngineEnvironment environment = EngineEnvironment::standard();
        environment.engineCandidates = {QDir(TestSupport::fakesDirectory()).filePath(QStringLiteral("fake-llama-server"))};
        environment.homebrewLocations = {};
        environment.enginePidFile = m_engineDir.filePath(QStringLiteral("engine.pid"));
        environment.port = probe.serverPort();
        environment.pollIntervalMs = 20;
        return std::make_unique<ServerManager>(environment, nullptr);
    }

private slots:
    void initTestCase() { QVERIFY(m_hub.isListening()); }
    void init() { TestSupport::resetUserData(); }

    void freshInstallationThenAFilePlacedByHand()
    {
        ModelManager manager;
        QCOMPARE(manager.variantList()->rowCount(), 3);
        QVERIFY(!manager.lastError());
        QVERIFY(manager.physicalMemoryBytes() > 0);
        const QDir models(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Morlo AI/models");
        QVERIFY(models.exists());
        QVERIFY(models.entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
        QCOMPARE(pathOf(manager, 0),
                 models.filePath(QStringLiteral("tessoran_Llama-3.2-3B-Instruct-GGUF/Llama-3.2-3B-Instruct-Q4_K_M.gguf")));

        // Only the row whose file appeared is redrawn; another name in a folder counts for nothing.
        QSignalSpy rowsChanged(manager.variantList(), &QAbstractItemModel::dataChanged);
        writeFile(pathOf(manager, 2), "gguf");
        writeFile(QFileInfo(pathOf(manager, 1)).absolutePath() + QStringLiteral("/other.gguf"), "gguf");
        manager.refreshDownloadStatus();
        manager.refreshDownloadStatus();
        QCOMPARE(rowsChanged.size(), 1);
        QCOMPARE(rowsChanged.first().at(0).toModelIndex().row(), 2);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(variantOf(manager, i).isDownloaded, i == 2);
        QVERIFY(manager.variantList()->index(2).data(ModelListModel::HasDownloadedVariantRole).toBool());
        QFile::remove(pathOf(manager, 2));
        manager.refreshDownloadStatus();
        QVERIFY(!variantOf(manager, 2).isDownloaded);
    }

    void memoryWarning_data()
    {
        QTest::addColumn<qint64>("memory");
        QTest::addColumn<QList<bool>>("warned");
        QTest::addColumn<int>("shownGB");
        QTest::newRow("4 GB") << 4 * gigabyte << QList<bool>{false, true, false} << 4;
        QTest::newRow("2 GB") << 2 * gigabyte << QList<bool>{true, true, true} << 2;
        QTest::newRow("just enough for 2.0 GB") << qint64(2.4 * gigabyte) << QList<bool>{false, true, false} << 2;
        QTest::newRow("one byte short") << qint64(2.4 * gigabyte) - 1 << QList<bool>{true, true, false} << 2;
        QTest::newRow("6 GB less a byte") << 6 * gigabyte - 1 << QList<bool>{false, false, false} << 5;
    }

    void memoryWarning()
    {
        QFETCH(qint64, memory);
        QFETCH(QList<bool>, warned);
        QFETCH(int, shownGB);
        ModelManager manager;
        manager.setPhysicalMemoryBytes(memory);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(manager.variantList()->index(i).data(ModelListModel::ExceedsAvailableRAMRole).toBool(), warned[i]);
        QCOMPARE(manager.memoryWarningText(),
                 QStringLiteral("May exceed available RAM (%1 GB). Model may load slowly or fail.").arg(shownGB));
    }

    void downloadOutcomes_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<bool>("blocked");       // a file stands where the repository folder belongs
        QTest::addColumn<QString>("lastError");  // pattern; empty = succeeds
        QTest::addColumn<bool>("showsProgress");
        QTest::addColumn<bool>("alongside");     // the other two files download at the same time
        QTest::newRow("completes") << "size=3000000,rate=6000000" << false << QString() << true << true;
        QTest::newRow("no length") << "size=300000,nolength,rate=3000000" << false << QString() << false << false;
        QTest::newRow("stalls") << "size=300000,stall=1000" << false << "^Download failed: The request timed out\\.$" << true
                                << false;
        QTest::newRow("nowhere to write") << "size=1000" << true << "^Download failed: ." << false << false;
    }

    void downloadOutcomes()
    {
        QFETCH(QString, script);
        QFETCH(bool, blocked);
        QFETCH(QString, lastError);
        QFETCH(bool, showsProgress);
        QFETCH(bool, alongside);
        auto manager = managerFor(script);
        const QString repoDir = QFileInfo(pathOf(*manager, 1)).absolutePath();
        if (blocked)
            writeFile(repoDir, "in the way");
        QList<QString> progressTexts;
        connect(manager->variantList(), &QAbstractItemModel::dataChanged, this,
                [&](const QModelIndex &from, const QModelIndex &to) {
                    QCOMPARE(to.row(), from.row());  // each change redraws its own row only
                    if (from.row() == 1)
                        progressTexts.append(from.data(ModelListModel::ProgressTextRole).toString());
                });

        if (alongside)
            for (int i : {0, 2})
                manager->variantList()->download(i);
        manager->variantList()->download(1);
        const ModelVariant started = variantOf(*manager, 1);
        QVERIFY(started.isDownloading && started.downloadStartTime);
        QVERIFY(manager->hasActiveSession(started.id));
        // A second start while the first runs changes nothing and starts no second transfer.
        QSignalSpy changes(manager.get(), &ModelManager::variantChanged);
        manager->variantList()->download(1);
        QCOMPARE(changes.size(), 0);
        QCOMPARE(variantOf(*manager, 1), started);
        QTRY_VERIFY_WITH_TIMEOUT(!variantOf(*manager, 1).isDownloading, 20'000);

        const ModelVariant &variant = variantOf(*manager, 1);
        const bool succeeded = lastError.isEmpty();
        QVERIFY(!variant.downloadStartTime);
        QVERIFY(!manager->hasActiveSession(variant.id));
        QCOMPARE(progressTexts.size() > 2, showsProgress);
        QVERIFY2(succeeded ? !manager->lastError() : manager->lastErrorText().contains(QRegularExpression(lastError)),
                 qPrintable(manager->lastErrorText()));
        QCOMPARE(variant.isDownloaded, succeeded);
        QCOMPARE(variant.downloadProgress, succeeded ? 1.0 : 0.0);
        QCOMPARE(filesBeside(*manager, 1), succeeded ? QStringList{variant.filename} : QStringList{});
        if (succeeded && showsProgress)
            QCOMPARE(progressTexts.at(progressTexts.size() - 2), QStringLiteral("3 / 3 MB · 100%"));
        if (!showsProgress)
            QCOMPARE(variant.downloadedBytes, 0);
        if (alongside) {
            QTRY_VERIFY_WITH_TIMEOUT(!variantOf(*manager, 0).isDownloading && !variantOf(*manager, 2).isDownloading, 20'000);
            QVERIFY(!manager->lastError());
            for (int i = 0; i < 3; ++i)
                QCOMPARE(QFileInfo(pathOf(*manager, i)).size(), 3000000);
        }
        if (blocked) {
            QFile blocker(repoDir);
            QVERIFY(blocker.open(QIODevice::ReadOnly));
            QCOMPARE(blocker.readAll(), QByteArray("in the way"));
        }
        manager->clearLastError();
        QVERIFY(!manager->lastError());
    }

    void stoppedMidDownload_data()
    {
        QTest::addColumn<bool>("quit");
        QTest::newRow("cancelled") << false;
        QTest::newRow("app quits") << true;
    }

    // Neither a cancel nor quitting ever leaves a partial file, not even under another name.
    void stoppedMidDownload()
    {
        QFETCH(bool, quit);
        auto manager = managerFor(QStringLiteral("size=10000000,rate=1000000"));
        const QDir repoDir = QFileInfo(pathOf(*manager, 0)).absoluteDir();
        manager->variantList()->download(0);
        QTRY_VERIFY(variantOf(*manager, 0).downloadedBytes > 0);
        QVERIFY(filesBeside(*manager, 0).isEmpty());
        if (quit) {
            manager.reset();
            QTest::qWait(50);
            QVERIFY(repoDir.entryList(QDir::Files | QDir::Hidden).isEmpty());
            QVERIFY(!variantOf(ModelManager(), 0).isDownloaded);  // what the next run sees
            return;
        }
        QSignalSpy errors(manager.get(), &ModelManager::lastErrorChanged);
        manager->variantList()->cancel(0);
        const ModelVariant &variant = variantOf(*manager, 0);
        QVERIFY(!variant.isDownloading && !variant.downloadStartTime);
        QVERIFY(variant.downloadProgress == 0.0 && variant.downloadedBytes == 0 && variant.totalBytes == 0);
        QVERIFY(!manager->hasActiveSession(variant.id));
        // The stopped transfer reports its cancellation afterwards, from the event loop, as a failure.
        QCOMPARE(errors.size(), 0);
        QTRY_COMPARE(errors.size(), 1);
        QVERIFY2(manager->lastErrorText().contains(QRegularExpression(QStringLiteral("^Download failed: .*cancel"),
                                                                      QRegularExpression::CaseInsensitiveOption)),
                 qPrintable(manager->lastErrorText()));
        QVERIFY(!variantOf(*manager, 0).isDownloaded);
        QVERIFY(filesBeside(*manager, 0).isEmpty());
    }

    // Entry 0 runs in the engine, entry 1 loads at start, entry 2's file went behind the library's back.
    void deleteVariant()
    {
        auto engine = makeEngine();
        AgentState agentState;
        ModelManager manager;
        manager.variantList()->load(0);  // without an engine there is nothing to load into
        manager.setServerManager(engine.get());
        manager.setAgentState(&agentState);
        for (int i = 0; i < 3; ++i)
            writeFile(pathOf(manager, i), "gguf");
        manager.refreshDownloadStatus();
        QFile::remove(pathOf(manager, 2));
        // Loading a row starts the engine on its file, named after the model and quantization.
        manager.variantList()->load(0);
        QTRY_VERIFY_WITH_TIMEOUT(engine->isRunning(), 20'000);
        QCOMPARE(engine->activeModelPath(), pathOf(manager, 0));
        QCOMPARE(engine->activeModelName(), QStringLiteral("Llama 3.2 3B Instruct Q4_K_M"));
        agentState.setAutoLoadModel(pathOf(manager, 1), QStringLiteral("Llama 3.1 8B Instruct Q4_K_M"));
        agentState.save();
        auto storedAutoLoad = [&] {  // what the next start will read
            agentState.flush();
            AgentState reloaded;
            return reloaded.autoLoadModelPath().has_value() && reloaded.autoLoadModelName().has_value();
        };

        for (int victim : {2, 1, 0}) {
            manager.variantList()->remove(victim);
            QVERIFY(!QFileInfo::exists(pathOf(manager, victim)));
            QVERIFY(!variantOf(manager, victim).isDownloaded);
            QCOMPARE(variantOf(manager, victim).downloadProgress, 0.0);
            QVERIFY(QFileInfo(pathOf(manager, victim)).absoluteDir().exists());  // the repository folder stays
            QCOMPARE(storedAutoLoad(), victim == 2);
            // The file is gone before the engine is asked to stop, and only its own file stops it.
            QVERIFY(engine->isRunning());
            if (victim == 0)
                QTRY_VERIFY_WITH_TIMEOUT(!engine->isRunning(), 20'000);
            else
                QTest::qWait(100);
            QCOMPARE(engine->isRunning(), victim != 0);
        }
        QCoro::waitFor(engine->stopServer());
    }
};

QTEST_GUILESS_MAIN(TestModelManager)
#include "tst_model_manager.moc"
