#include "LocalHub.h"
#include "TestSupport.h"
#include "conversation/AgentState.h"
#include "engine/ServerManager.h"
#include "models/ModelListModel.h"
#include "models/ModelManager.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

namespace {
QString pathOf(const ModelManager &manager, int index)
{
    const HFModel &model = manager.models().at(index);
    return ModelManager::localFileURL(model, model.variants.first()).toLocalFile();
}

const ModelVariant &variantOf(const ModelManager &manager, int index)
{
    return manager.models().at(index).variants.first();
}

QVariant roleOf(ModelManager &manager, int row, int role)
{
    return manager.variantList()->index(row).data(role);
}

// Repositories of the local hub's API. Two hold the first catalogue file's name; the more
// downloaded one does not hold the file itself.
QJsonObject hubRepos()
{
    auto repo = [](std::initializer_list<std::pair<const char *, qint64>> files, const char *key, const QJsonValue &value) {
        QJsonArray listed;
        for (const auto &[name, size] : files)
            listed.append(QJsonObject{{QStringLiteral("name"), QString::fromUtf8(name)}, {QStringLiteral("size"), size}});
        return QJsonObject{{QStringLiteral("files"), listed}, {QString::fromUtf8(key), value}};
    };
    return QJsonObject{
        {QStringLiteral("alice/Tiny-GGUF"), repo({{"README.md", 10}, {"Tiny-Q8_0.gguf", 500000}, {"Tiny-Q4_K_M.gguf", 300000}}, "downloads", 50)},
        {QStringLiteral("bob/Private-GGUF"), repo({{"Private-Q4_K_M.gguf", 200000}}, "token", QStringLiteral("hf_secret"))},
        {QStringLiteral("carol/Llama-3.2-3B-Instruct-GGUF"), repo({{"Llama-3.2-3B-Instruct-Q4_K_M.gguf", 400000}}, "downloads", 100)},
        {QStringLiteral("dave/Llama-3.2-3B-Instruct-GGUF"), repo({{"Llama-3.2-3B-Instruct-Q8_0.gguf", 400000}}, "downloads", 500)},
    };
}

int rowOfFile(ModelManager &manager, const QString &filename)
{
    for (int row = 0; row < manager.variantList()->rowCount(); ++row)
        if (roleOf(manager, row, ModelListModel::LocalPathRole).toString().endsWith(QLatin1Char('/') + filename))
            return row;
    return -1;
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
    LocalHub m_repoHub{hubRepos()};
    QTemporaryDir m_engineDir;

    // Downloads from the local hub answering by this script.
    std::unique_ptr<ModelManager> managerFor(const QString &script)
    {
        return std::make_unique<ModelManager>(m_hub.baseURL(script), DownloadTiming{});
    }

    std::unique_ptr<ModelManager> repoHubManager()
    {
        return std::make_unique<ModelManager>(m_repoHub.baseURL(), DownloadTiming{}, nullptr, QStringLiteral("Morlo AI tests"));
    }

    std::unique_ptr<ServerManager> makeEngine(const QString &executable = QString())
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        EngineEnvironment environment = EngineEnvironment::standard();
        environment.engineCandidates = {executable.isEmpty()
                                            ? QDir(TestSupport::fakesDirectory()).filePath(QStringLiteral("fake-llama-server"))
                                            : executable};
        environment.homebrewLocations = {};
        environment.enginePidFile = m_engineDir.filePath(QStringLiteral("engine.pid"));
        environment.port = probe.serverPort();
        environment.pollIntervalMs = 20;
        return std::make_unique<ServerManager>(environment, nullptr);
    }

private slots:
    void initTestCase() { QVERIFY(m_hub.isListening() && m_repoHub.isListening()); }
    void init() { TestSupport::resetUserData(); }

    // Three files at once, each change redrawing its own row only; starting one twice starts one transfer.
    void downloadsSideBySide()
    {
        auto manager = managerFor(QStringLiteral("size=3000000,rate=6000000,gguf"));
        QList<QString> progressTexts;
        connect(manager->variantList(), &QAbstractItemModel::dataChanged, this,
                [&](const QModelIndex &from, const QModelIndex &to) {
                    QCOMPARE(to.row(), from.row());
                    if (from.row() == 1)
                        progressTexts.append(from.data(ModelListModel::ProgressTextRole).toString());
                });
        for (int i : {0, 1, 2})
            manager->variantList()->download(i);
        const ModelVariant started = variantOf(*manager, 1);
        QVERIFY(started.isDownloading && started.downloadStartTime && manager->hasActiveSession(started.id));
        QSignalSpy changes(manager.get(), &ModelManager::variantChanged);
        manager->variantList()->download(1);
        QCOMPARE(changes.size(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!variantOf(*manager, 0).isDownloading && !variantOf(*manager, 1).isDownloading
                                     && !variantOf(*manager, 2).isDownloading, 20'000);
        QVERIFY2(!manager->lastError(), qPrintable(manager->lastErrorText()));
        for (int i = 0; i < 3; ++i) {
            const ModelVariant &variant = variantOf(*manager, i);
            QVERIFY(variant.isDownloaded && variant.downloadProgress == 1.0 && !variant.downloadStartTime);
            QVERIFY(!manager->hasActiveSession(variant.id));
            QCOMPARE(QFileInfo(pathOf(*manager, i)).size(), 3000000);
        }
        QVERIFY(progressTexts.size() > 2);
        QCOMPARE(progressTexts.at(progressTexts.size() - 2), QStringLiteral("3 / 3 MB · 100%"));
    }

    // Quitting mid-download keeps what arrived beside the destination, never at it, and the next
    // run's download asks only for the rest.
    void quitMidDownload()
    {
        const QString script = QStringLiteral("size=10000000,rate=4000000,gguf");
        auto manager = managerFor(script);
        const QString part = HFDownloadSession::partPath(pathOf(*manager, 0));
        manager->variantList()->download(0);
        QTRY_VERIFY(variantOf(*manager, 0).downloadedBytes > 1'000'000);
        manager.reset();
        manager = managerFor(script);
        QVERIFY(!variantOf(*manager, 0).isDownloaded);
        const qint64 kept = QFileInfo(part).size();
        QVERIFY(kept > 1'000'000);
        QTRY_VERIFY(m_hub.servedBytes(script) > 0);  // the hub has logged the cut answer
        const qint64 sentBefore = m_hub.servedBytes(script);

        manager->variantList()->download(0);
        QTRY_VERIFY_WITH_TIMEOUT(!variantOf(*manager, 0).isDownloading, 20'000);
        QVERIFY2(variantOf(*manager, 0).isDownloaded, qPrintable(manager->lastErrorText()));
        QCOMPARE(QFileInfo(pathOf(*manager, 0)).size(), 10'000'000);
        QTRY_COMPARE(m_hub.servedBytes(script), sentBefore + 10'000'000 - kept);
        QCOMPARE(variantOf(*manager, 0).resumedBytes, kept);
        QVERIFY(!QFileInfo::exists(part));
    }

    // A GGUF file on disk joins "My models" where it lies and loads into a real engine; once moved
    // it shows "File not found", and removing it forgets it but keeps the file.
    void myModels()
    {
        MORLO_REQUIRE_REAL_ENGINES();
        QTemporaryDir own;
        const QString path = own.filePath(QStringLiteral("my tiny model.gguf"));
        QVERIFY(QFile::copy(TestSupport::realTinyModel(), path));
        auto engine = makeEngine(TestSupport::realEngines().last().executable);
        ModelManager manager;
        manager.setServerManager(engine.get());
        QCOMPARE(manager.openModelFile(QUrl::fromLocalFile(path)), QString());
        QCOMPARE(manager.openModelFile(QUrl::fromLocalFile(path)), QString());  // never twice
        QCOMPARE(roleOf(manager, 3, ModelListModel::LocalPathRole).toString(), path);
        QVERIFY(roleOf(manager, 3, ModelListModel::IsDownloadedRole).toBool());
        manager.variantList()->load(3);
        QTRY_VERIFY_WITH_TIMEOUT(engine->isRunning(), 60'000);
        QCOMPARE(engine->activeModelPath(), path);
        QCoro::waitFor(engine->stopServer());

        QVERIFY(QFile::rename(path, own.filePath(QStringLiteral("moved.gguf"))));
        manager.refreshDownloadStatus();
        QVERIFY(roleOf(manager, 3, ModelListModel::IsMissingRole).toBool());
        manager.variantList()->remove(3);
        QVERIFY(QFileInfo::exists(own.filePath(QStringLiteral("moved.gguf"))));
        QCOMPARE(ModelManager().variantList()->rowCount(), 3);
    }

    // Files of any hub repository: listed with size and quantisation, downloaded and checked,
    // kept across restarts until removed from the library; a private one asks for a token.
    void addFromHub()
    {
        auto manager = repoHubManager();
        HubBrowser *hub = manager->hubBrowser();
        hub->open(QStringLiteral("not a repository"));
        QCOMPARE(hub->message(), QStringLiteral("Enter a repository as owner/name or a hub address"));
        hub->open(m_repoHub.baseURL().toString() + QStringLiteral("alice/Tiny-GGUF"));
        QTRY_VERIFY(!hub->busy() && !hub->files().isEmpty());
        QCOMPARE(hub->files().size(), 2);  // the model files only
        const QVariantMap q4 = hub->files().at(0).toMap();
        QCOMPARE(q4.value("filename").toString(), QStringLiteral("Tiny-Q4_K_M.gguf"));
        QCOMPARE(q4.value("quantization").toString(), QStringLiteral("Q4_K_M"));
        hub->download(0);
        const int row = rowOfFile(*manager, QStringLiteral("Tiny-Q4_K_M.gguf"));
        QTRY_VERIFY_WITH_TIMEOUT(roleOf(*manager, row, ModelListModel::IsDownloadedRole).toBool(), 20'000);
        const QString path = roleOf(*manager, row, ModelListModel::LocalPathRole).toString();
        QCOMPARE(QFileInfo(path).size(), 300000);
        QVERIFY(roleOf(*repoHubManager(), row, ModelListModel::IsDownloadedRole).toBool());

        // Deleting keeps the entry to download again; removing it from the library forgets it,
        // with any part a cut download left.
        manager->variantList()->remove(row);
        QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(rowOfFile(*manager, QStringLiteral("Tiny-Q4_K_M.gguf")), row);
        writeFile(HFDownloadSession::partPath(path), "a cut download");
        manager->variantList()->removeFromLibrary(row);
        QCOMPARE(rowOfFile(*manager, QStringLiteral("Tiny-Q4_K_M.gguf")), -1);
        QVERIFY(!QFileInfo::exists(HFDownloadSession::partPath(path)));
        QCOMPARE(repoHubManager()->variantList()->rowCount(), 3);

        hub->open(QStringLiteral("bob/Private-GGUF"));
        QTRY_VERIFY(!hub->busy() && !hub->message().isEmpty());
        QCOMPARE(hub->message(), QStringLiteral("This model needs a hub account token"));
        QVERIFY(hub->needsToken());
        hub->saveToken(QStringLiteral(" hf_secret "));
        QTRY_VERIFY(!hub->busy() && hub->files().size() == 1);
        QVERIFY(!hub->needsToken());
        hub->download(0);
        const int privateRow = rowOfFile(*manager, QStringLiteral("Private-Q4_K_M.gguf"));
        QTRY_VERIFY_WITH_TIMEOUT(roleOf(*manager, privateRow, ModelListModel::IsDownloadedRole).toBool(), 20'000);
        // A catalogue file is never forgotten.
        manager->variantList()->removeFromLibrary(0);
        QCOMPARE(manager->variantList()->rowCount(), 4);
    }

    // Typing key by key asks the hub once, for the whole text; a refusal shows the hub's message.
    void searchTheHub()
    {
        for (const QString &script : {QString(), QStringLiteral("status=429")}) {
            ModelManager manager(m_repoHub.baseURL(script), DownloadTiming{}, nullptr, QStringLiteral("Morlo AI tests"));
            HubBrowser *hub = manager.hubBrowser();
            QSignalSpy changes(hub, &HubBrowser::changed);
            for (const char *typed : {"l", "llama-3", "llama-3.2"})
                hub->search(QString::fromLatin1(typed));
            QVERIFY(changes.isEmpty());
            QTRY_VERIFY(changes.size() >= 2 && !hub->busy());
            QCOMPARE(hub->repositories().size(), script.isEmpty() ? 2 : 0);
            QCOMPARE(hub->message().startsWith(QStringLiteral("429 — You have been rate-limited")), !script.isEmpty());
        }
    }

    // A catalogue file the hub refuses is looked for in repositories of the same name; once the
    // user agrees, it comes from there and the choice is kept.
    void catalogueFileFromAnotherRepository()
    {
        auto manager = repoHubManager();
        manager->variantList()->download(0);
        QTRY_VERIFY_WITH_TIMEOUT(!manager->sourceOffer().isEmpty(), 20'000);
        QCOMPARE(manager->lastErrorText(), QStringLiteral("Download failed: 404 — Repository not found"));
        QVERIFY(!variantOf(*manager, 0).isDownloaded && !QFileInfo::exists(pathOf(*manager, 0)));
        QCOMPARE(manager->sourceOffer(),
                 QStringLiteral("Download Llama-3.2-3B-Instruct-Q4_K_M.gguf from carol/Llama-3.2-3B-Instruct-GGUF?"));
        manager->acceptSourceOffer();
        QVERIFY(manager->sourceOffer().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(variantOf(*manager, 0).isDownloaded, 20'000);
        QCOMPARE(QFileInfo(pathOf(*manager, 0)).size(), 400000);  // where the catalogue puts it
        QCOMPARE(roleOf(*repoHubManager(), 0, ModelListModel::SourceRepoRole).toString(),
                 QStringLiteral("carol/Llama-3.2-3B-Instruct-GGUF"));
    }

    // Entry 0 runs in the engine, entry 1 loads at start, entry 2's file went behind the library's back.
    void deleteVariant()
    {
        auto engine = makeEngine();
        AgentState agentState;
        ModelManager manager;
        QCOMPARE(pathOf(manager, 0), QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                     + "/Morlo AI/models/tessoran_Llama-3.2-3B-Instruct-GGUF/Llama-3.2-3B-Instruct-Q4_K_M.gguf");
        manager.setServerManager(engine.get());
        manager.setAgentState(&agentState);
        for (int i = 0; i < 3; ++i)  // each with the part of an earlier cut download
            for (const QString &file : {pathOf(manager, i), HFDownloadSession::partPath(pathOf(manager, i))})
                writeFile(file, "gguf");
        // Which files are present is read from disk, so files placed by hand count.
        manager.refreshDownloadStatus();
        QVERIFY(variantOf(manager, 0).isDownloaded && variantOf(manager, 2).isDownloaded);
        QFile::remove(pathOf(manager, 2));
        // Loading a row starts the engine on its file, named after the model and quantization.
        manager.variantList()->load(0);
        QTRY_VERIFY_WITH_TIMEOUT(engine->isRunning(), 20'000);
        QCOMPARE(engine->activeModelName(), QStringLiteral("Llama 3.2 3B Instruct Q4_K_M"));
        agentState.setAutoLoadModel(pathOf(manager, 1), QStringLiteral("Llama 3.1 8B Instruct Q4_K_M"));
        agentState.save();

        for (int victim : {2, 1, 0}) {
            manager.variantList()->remove(victim);
            QVERIFY(!QFileInfo::exists(pathOf(manager, victim)));
            QVERIFY(!QFileInfo::exists(HFDownloadSession::partPath(pathOf(manager, victim))));
            QVERIFY(!variantOf(manager, victim).isDownloaded);
            agentState.flush();
            QCOMPARE(AgentState().autoLoadModelPath().has_value(), victim == 2);  // what the next start reads
            // The file is gone before the engine is asked to stop, and only its own file stops it.
            QVERIFY(engine->isRunning());
            QTest::qWait(victim == 0 ? 0 : 100);
            QTRY_COMPARE_WITH_TIMEOUT(engine->isRunning(), victim != 0, 20'000);
        }
        QCoro::waitFor(engine->stopServer());
    }
};

QTEST_GUILESS_MAIN(TestModelManager)
#include "tst_model_manager.moc"
