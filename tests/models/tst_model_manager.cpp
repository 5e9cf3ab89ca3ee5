#include "LocalHub.h"
#include "TestSupport.h"
#include "conversation/AgentState.h"
#include "engine/ServerManager.h"
#include "models/ModelListModel.h"
#include "models/ModelManager.h"

#include <QDir>
#include <QJsonArray>
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

// Repositories of the local hub's API. Two hold the first catalogue file's name; the more
// downloaded one does not hold the file itself.
QJsonObject hubRepos()
{
    auto file = [](const char *name, qint64 size) {
        return QJsonObject{{QStringLiteral("name"), QString::fromUtf8(name)}, {QStringLiteral("size"), size}};
    };
    return QJsonObject{
        {QStringLiteral("alice/Tiny-GGUF"),
         QJsonObject{{QStringLiteral("files"), QJsonArray{file("README.md", 10), file("Tiny-Q8_0.gguf", 500000), file("Tiny-Q4_K_M.gguf", 300000)}},
                     {QStringLiteral("downloads"), 50}}},
        {QStringLiteral("bob/Private-GGUF"),
         QJsonObject{{QStringLiteral("files"), QJsonArray{file("Private-Q4_K_M.gguf", 200000)}},
                     {QStringLiteral("token"), QStringLiteral("hf_secret")}}},
        {QStringLiteral("carol/Llama-3.2-3B-Instruct-GGUF"),
         QJsonObject{{QStringLiteral("files"), QJsonArray{file("Llama-3.2-3B-Instruct-Q4_K_M.gguf", 400000)}},
                     {QStringLiteral("downloads"), 100}}},
        {QStringLiteral("dave/Llama-3.2-3B-Instruct-GGUF"),
         QJsonObject{{QStringLiteral("files"), QJsonArray{file("Llama-3.2-3B-Instruct-Q8_0.gguf", 400000)}},
                     {QStringLiteral("downloads"), 500}}},
    };
}

int rowOfFile(ModelManager &manager, const QString &filename)
{
    ModelListModel *rows = manager.variantList();
    for (int row = 0; row < rows->rowCount(); ++row)
        if (rows->index(row).data(ModelListModel::LocalPathRole).toString().endsWith(QLatin1Char('/') + filename))
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

    // Downloads from the local hub answering by this script; a stall fails after 300 ms, not a minute.
    std::unique_ptr<ModelManager> managerFor(const QString &script)
    {
        DownloadTiming timing;
        timing.requestTimeout = std::chrono::milliseconds(300);
        return std::make_unique<ModelManager>(m_hub.baseURL(script), timing);
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
        QTest::newRow("completes") << "size=3000000,rate=6000000,gguf" << false << QString() << true << true;
        QTest::newRow("no length") << "size=300000,nolength,rate=3000000,gguf" << false << QString() << false << false;
        // An error page is never taken for the model.
        QTest::newRow("refused") << "404" << false << "^Download failed: 404 — Entry not found$" << false << false;
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
        // A failed download never reaches the destination; at most its part waits beside it.
        QCOMPARE(QFileInfo::exists(pathOf(*manager, 1)), succeeded);
        QVERIFY(filesBeside(*manager, 1).size() <= 1);
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

    // A cancel or quitting keeps what arrived beside the destination, never at it; the next
    // download asks only for the rest, and progress starts where the kept part ends.
    void stoppedMidDownload()
    {
        QFETCH(bool, quit);
        const QString script = QStringLiteral("size=10000000,rate=4000000,gguf");
        auto manager = managerFor(script);
        const QString part = HFDownloadSession::partPath(pathOf(*manager, 0));
        const qint64 sentEarlier = m_hub.servedBytes(script);  // by the row before
        manager->variantList()->download(0);
        QTRY_VERIFY(variantOf(*manager, 0).downloadedBytes > 1'000'000);
        QVERIFY(!QFileInfo::exists(pathOf(*manager, 0)));
        if (quit) {
            manager.reset();
            QVERIFY(!variantOf(ModelManager(), 0).isDownloaded);  // what the next run sees
            manager = managerFor(script);
        } else {
            QSignalSpy errors(manager.get(), &ModelManager::lastErrorChanged);
            manager->variantList()->cancel(0);
            const ModelVariant &variant = variantOf(*manager, 0);
            QVERIFY(!variant.isDownloading && !variant.downloadStartTime);
            QVERIFY(variant.downloadProgress == 0.0 && variant.downloadedBytes == 0 && variant.totalBytes == 0);
            QVERIFY(!manager->hasActiveSession(variant.id));
            // The stopped transfer reports its cancellation afterwards, from the event loop.
            QCOMPARE(errors.size(), 0);
            QTRY_COMPARE(errors.size(), 1);
            QVERIFY2(manager->lastErrorText().contains(QRegularExpression(QStringLiteral("^Download failed: .*cancel"),
                                                                          QRegularExpression::CaseInsensitiveOption)),
                     qPrintable(manager->lastErrorText()));
            manager->clearLastError();
        }
        // The hub sent what reached the disk plus what was still on its way.
        QTRY_VERIFY(m_hub.servedBytes(script) > sentEarlier);
        const qint64 sentBefore = m_hub.servedBytes(script);
        const qint64 kept = QFileInfo(part).size();
        QVERIFY(kept > 1'000'000 && kept <= sentBefore - sentEarlier);

        QList<double> progress;
        connect(manager->variantList(), &QAbstractItemModel::dataChanged, this, [&](const QModelIndex &row) {
            if (row.row() == 0 && row.data(ModelListModel::IsDownloadingRole).toBool())
                progress.append(row.data(ModelListModel::DownloadProgressRole).toDouble());
        });
        manager->variantList()->download(0);
        QTRY_VERIFY_WITH_TIMEOUT(!variantOf(*manager, 0).isDownloading, 20'000);
        QVERIFY2(!manager->lastError(), qPrintable(manager->lastErrorText()));
        QCOMPARE(QFileInfo(pathOf(*manager, 0)).size(), 10'000'000);
        QTRY_COMPARE(m_hub.servedBytes(script), sentBefore + 10'000'000 - kept);
        // The first progress shown is already past the kept part.
        const auto firstMoved = std::find_if(progress.begin(), progress.end(), [](double p) { return p > 0; });
        QVERIFY(firstMoved != progress.end());
        QVERIFY(*firstMoved > static_cast<double>(kept) / 10'000'000);
        QCOMPARE(variantOf(*manager, 0).resumedBytes, kept);
        QVERIFY(!QFileInfo::exists(part));
        manager->variantList()->remove(0);
        QVERIFY(!QFileInfo::exists(pathOf(*manager, 0)));
    }

    // A GGUF file on disk joins "My models" where it lies, loads into a real engine, survives a
    // restart, shows "File not found" once moved, and removing it forgets it but keeps the file.
    void myModels()
    {
        MORLO_REQUIRE_REAL_ENGINES();
        QTemporaryDir own;
        const QString path = own.filePath(QStringLiteral("my tiny model.gguf"));
        QVERIFY(QFile::copy(TestSupport::realTinyModel(), path));
        writeFile(own.filePath(QStringLiteral("notes.gguf")), "<html>not a model</html>");
        auto engine = makeEngine(TestSupport::realEngines().last().executable);
        AgentState agentState;
        ModelManager manager;
        manager.setServerManager(engine.get());
        manager.setAgentState(&agentState);

        QCOMPARE(manager.openModelFile(QUrl::fromLocalFile(own.filePath(QStringLiteral("notes.gguf")))),
                 QStringLiteral("This is not a GGUF model file"));
        QCOMPARE(manager.openModelFile(QUrl::fromLocalFile(own.filePath(QStringLiteral("gone.gguf")))),
                 QStringLiteral("File not found"));
        QCOMPARE(manager.variantList()->rowCount(), 3);
        QCOMPARE(manager.openModelFile(QUrl::fromLocalFile(path)), QString());
        QCOMPARE(manager.openModelFile(QUrl::fromLocalFile(path)), QString());  // never twice
        QCOMPARE(manager.variantList()->rowCount(), 4);
        const QModelIndex row = manager.variantList()->index(3);
        QCOMPARE(row.data(ModelListModel::OriginRole).toString(), QStringLiteral("file"));
        QCOMPARE(row.data(ModelListModel::LocalPathRole).toString(), path);
        QVERIFY(row.data(ModelListModel::IsDownloadedRole).toBool());
        QVERIFY(!row.data(ModelListModel::DisplayNameRole).toString().isEmpty());

        manager.variantList()->load(3);
        QTRY_VERIFY_WITH_TIMEOUT(engine->isRunning(), 60'000);
        QCOMPARE(engine->activeModelPath(), path);

        ModelManager restarted;
        QCOMPARE(restarted.variantList()->rowCount(), 4);
        QCOMPARE(restarted.variantList()->index(3).data(ModelListModel::LocalPathRole).toString(), path);

        QVERIFY(QFile::rename(path, own.filePath(QStringLiteral("moved.gguf"))));
        restarted.refreshDownloadStatus();
        QVERIFY(restarted.variantList()->index(3).data(ModelListModel::IsMissingRole).toBool());
        restarted.variantList()->remove(3);
        QCOMPARE(restarted.variantList()->rowCount(), 3);
        QVERIFY(QFileInfo::exists(own.filePath(QStringLiteral("moved.gguf"))));
        QCOMPARE(ModelManager().variantList()->rowCount(), 3);
        QCoro::waitFor(engine->stopServer());
    }

    // Files of any hub repository: listed with size and quantisation, downloaded and checked
    // against the hub's SHA-256, kept across restarts; a private one asks for a token.
    void addFromHub()
    {
        ModelManager manager(m_repoHub.baseURL(), DownloadTiming{}, nullptr, QStringLiteral("Morlo AI tests"));
        HubBrowser *hub = manager.hubBrowser();
        hub->open(QStringLiteral("not a repository"));
        QCOMPARE(hub->message(), QStringLiteral("Enter a repository as owner/name or a hub address"));

        hub->open(m_repoHub.baseURL().toString() + QStringLiteral("alice/Tiny-GGUF"));
        QTRY_VERIFY(!hub->busy() && !hub->files().isEmpty());
        QCOMPARE(hub->message(), QString());
        QCOMPARE(hub->files().size(), 2);
        const QVariantMap q4 = hub->files().at(0).toMap();
        QCOMPARE(q4.value("filename").toString(), QStringLiteral("Tiny-Q4_K_M.gguf"));
        QCOMPARE(q4.value("quantization").toString(), QStringLiteral("Q4_K_M"));
        QCOMPARE(q4.value("sizeLabel").toString(), QStringLiteral("293 MB").replace("293", QString::number(qRound(300000.0 / 1048576))));
        hub->download(0);
        const int row = rowOfFile(manager, QStringLiteral("Tiny-Q4_K_M.gguf"));
        QVERIFY(row >= 3);
        QTRY_VERIFY_WITH_TIMEOUT(manager.variantList()->index(row).data(ModelListModel::IsDownloadedRole).toBool(), 20'000);
        QVERIFY2(!manager.lastError(), qPrintable(manager.lastErrorText()));
        QCOMPARE(QFileInfo(manager.variantList()->index(row).data(ModelListModel::LocalPathRole).toString()).size(), 300000);
        QCOMPARE(manager.variantList()->index(row).data(ModelListModel::OriginRole).toString(), QStringLiteral("hub"));
        {
            ModelManager restarted(m_repoHub.baseURL(), DownloadTiming{}, nullptr, QStringLiteral("Morlo AI tests"));
            QVERIFY(restarted.variantList()->index(row).data(ModelListModel::IsDownloadedRole).toBool());
        }

        hub->open(QStringLiteral("bob/Private-GGUF"));
        QTRY_VERIFY(!hub->busy() && !hub->message().isEmpty());
        QCOMPARE(hub->message(), QStringLiteral("This model needs a hub account token"));
        QVERIFY(hub->needsToken());
        hub->saveToken(QStringLiteral(" hf_secret "));
        QTRY_VERIFY(!hub->busy() && hub->files().size() == 1);
        QVERIFY(!hub->needsToken());
        hub->download(0);
        const int privateRow = rowOfFile(manager, QStringLiteral("Private-Q4_K_M.gguf"));
        QTRY_VERIFY_WITH_TIMEOUT(manager.variantList()->index(privateRow).data(ModelListModel::IsDownloadedRole).toBool(), 20'000);
    }

    void searchTheHub_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("found");
        QTest::addColumn<QString>("message");
        QTest::newRow("most downloaded first") << QString() << "llama-3.2"
            << QStringList{"dave/Llama-3.2-3B-Instruct-GGUF", "carol/Llama-3.2-3B-Instruct-GGUF"} << QString();
        QTest::newRow("nothing") << QString() << "mistral" << QStringList{} << QString();
        QTest::newRow("rate limited") << "status=429" << "llama" << QStringList{}
            << "429 — You have been rate-limited; you can retry this action in about 5 minutes.";
    }

    void searchTheHub()
    {
        QFETCH(QString, script);
        QFETCH(QString, query);
        QFETCH(QStringList, found);
        ModelManager manager(m_repoHub.baseURL(script), DownloadTiming{}, nullptr, QStringLiteral("Morlo AI tests"));
        HubBrowser *hub = manager.hubBrowser();
        QSignalSpy changes(hub, &HubBrowser::changed);
        // Typing key by key asks the hub once, for the whole text.
        for (qsizetype n = 1; n <= query.size(); ++n)
            hub->search(query.left(n));
        QVERIFY(changes.isEmpty());
        QTRY_VERIFY(changes.size() >= 2 && !hub->busy());
        QStringList shown;
        for (const QVariant &entry : hub->repositories())
            shown.append(entry.toMap().value("repo").toString());
        QCOMPARE(shown, found);
        QTEST(hub->message(), "message");
        hub->search(QString());
        QVERIFY(hub->repositories().isEmpty());
    }

    // A catalogue file the hub refuses is looked for in repositories of the same name; once the
    // user agrees, it comes from there and the choice is kept.
    void catalogueFileFromAnotherRepository()
    {
        ModelManager manager(m_repoHub.baseURL(), DownloadTiming{}, nullptr, QStringLiteral("Morlo AI tests"));
        manager.variantList()->download(0);
        QTRY_VERIFY_WITH_TIMEOUT(!manager.sourceOffer().isEmpty(), 20'000);
        QCOMPARE(manager.lastErrorText(), QStringLiteral("Download failed: 404 — Repository not found"));
        QCOMPARE(manager.sourceOffer(),
                 QStringLiteral("Download Llama-3.2-3B-Instruct-Q4_K_M.gguf from carol/Llama-3.2-3B-Instruct-GGUF?"));
        manager.clearLastError();
        manager.acceptSourceOffer();
        QVERIFY(manager.sourceOffer().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(variantOf(manager, 0).isDownloaded, 20'000);
        QVERIFY2(!manager.lastError(), qPrintable(manager.lastErrorText()));
        QCOMPARE(QFileInfo(pathOf(manager, 0)).size(), 400000);  // where the catalogue puts it
        QCOMPARE(ModelManager().variantList()->index(0).data(ModelListModel::SourceRepoRole).toString(),
                 QStringLiteral("carol/Llama-3.2-3B-Instruct-GGUF"));
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
        for (int i = 0; i < 3; ++i) {
            writeFile(pathOf(manager, i), "gguf");
            writeFile(HFDownloadSession::partPath(pathOf(manager, i)), "an earlier cut download");
        }
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
            QVERIFY(!QFileInfo::exists(HFDownloadSession::partPath(pathOf(manager, victim))));
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
