#include "LocalHub.h"
#include "QmlHarness.h"
#include "TestSupport.h"
#include "engine/ServerManager.h"
#include "models/ModelManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QQuickItem>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {
int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Whether the item with that objectName is drawn now.
bool shown(QmlHarness &ui, const QString &name)
{
    return ui.find(name, 0) != nullptr;
}
} // namespace

class TestModelLibraryView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_hub.isListening()); }
    void init() { TestSupport::resetUserData(); }

    void searchAndOpenCards()
    {
        QmlHarness ui;
        ModelManager models(m_hub.baseURL(), DownloadTiming{});
        auto engine = makeEngine();
        QVERIFY(start(ui, models, *engine));
        QQuickItem *list = ui.find(QStringLiteral("modelList"));
        QQuickItem *library = ui.find(QStringLiteral("modelLibraryView"));
        QCOMPARE(list->property("count").toInt(), 3);

        ui.typeText(ui.find(QStringLiteral("modelSearchField")), QStringLiteral("8b"));
        QTRY_COMPARE(list->property("count").toInt(), 1);
        QVERIFY(shown(ui, QStringLiteral("modelCard_Llama 3.1 8B Instruct")));
        ui.click(QStringLiteral("clearModelSearchButton"));
        QTRY_COMPARE(list->property("count").toInt(), 3);
        ui.typeText(ui.find(QStringLiteral("modelSearchField")), QStringLiteral("tessoran"));
        QTRY_COMPARE(list->property("count").toInt(), 0);
        QTRY_VERIFY(shown(ui, QStringLiteral("noMatchLabel")));
        QCOMPARE(ui.find(QStringLiteral("noMatchLabel"))->property("text").toString(), QStringLiteral("No models match \"tessoran\""));
        ui.saveScreenshot(QStringLiteral("model-library-no-match"));
        ui.click(QStringLiteral("clearModelSearchButton"));
        QTRY_VERIFY(!shown(ui, QStringLiteral("noMatchLabel")));
        QTRY_COMPARE(list->property("count").toInt(), 3);

        // One open card at a time; pressing the open one closes it.
        ui.click(QStringLiteral("modelCard_Qwen 2.5 3B Instruct"));
        const QString qwen = models.models().at(2).id.toString(QUuid::WithoutBraces);
        QCOMPARE(library->property("expandedModelID").toString(), qwen);
        ui.click(QStringLiteral("modelCard_Llama 3.2 3B Instruct"));
        QCOMPARE(library->property("expandedModelID").toString(),
                 models.models().at(0).id.toString(QUuid::WithoutBraces));
        QVERIFY(shown(ui, QStringLiteral("downloadButton")));
        ui.click(QStringLiteral("modelCard_Llama 3.2 3B Instruct"));
        QCOMPARE(library->property("expandedModelID").toString(), QString());
        QTRY_VERIFY(!shown(ui, QStringLiteral("downloadButton")));

        // On a 4 GB machine only the 8B file carries the memory warning.
        models.setPhysicalMemoryBytes(4ll * 1024 * 1024 * 1024);
        ui.click(QStringLiteral("modelCard_Qwen 2.5 3B Instruct"));
        QTRY_VERIFY(shown(ui, QStringLiteral("downloadButton")) && !shown(ui, QStringLiteral("memoryWarning")));
        ui.click(QStringLiteral("modelCard_Llama 3.1 8B Instruct"));
        QTRY_VERIFY(shown(ui, QStringLiteral("memoryWarning")));
    }

    void downloadCancelLoadDelete()
    {
        QmlHarness ui;
        // Slow enough to watch and cancel: 3 MB at 1.5 MB/s.
        ModelManager models(m_hub.baseURL(QStringLiteral("size=3000000,rate=1500000,gguf")), DownloadTiming{});
        auto engine = makeEngine();
        models.setServerManager(engine.get());
        QVERIFY(start(ui, models, *engine));
        ui.click(QStringLiteral("modelCard_Llama 3.2 3B Instruct"));

        ui.click(QStringLiteral("downloadButton"));
        QVERIFY(!shown(ui, QStringLiteral("loadButton")));
        QVERIFY(!shown(ui, QStringLiteral("deleteButton")));
        QTRY_VERIFY(ui.find(QStringLiteral("progressText"))->property("text").toString().contains(QStringLiteral(" MB")));
        QTRY_VERIFY(shown(ui, QStringLiteral("remainingTimeText")) && !ui.find(QStringLiteral("remainingTimeText"))->property("text").toString().isEmpty());
        ui.saveScreenshot(QStringLiteral("model-library-download"));

        ui.click(QStringLiteral("cancelButton"));
        QTRY_VERIFY(shown(ui, QStringLiteral("downloadButton")));
        QVERIFY(!models.models().at(0).variants.first().isDownloading);
        // The stopped transfer reports itself as a failed download; OK puts it away.
        QTRY_VERIFY(shown(ui, QStringLiteral("downloadErrorNotice")));
        ui.click(QStringLiteral("downloadErrorOkButton"));
        QTRY_VERIFY(!shown(ui, QStringLiteral("downloadErrorNotice")));
        QCOMPARE(models.lastErrorText(), QString());

        // The next download continues from what the cancelled one kept.
        ui.click(QStringLiteral("downloadButton"));
        QTRY_VERIFY(models.models().at(0).variants.first().resumedBytes > 0);
        QTRY_VERIFY(ui.find(QStringLiteral("progressText"))->property("text").toString().endsWith(QStringLiteral("%")));
        ui.saveScreenshot(QStringLiteral("model-library-resumed-download"));
        QTRY_VERIFY_WITH_TIMEOUT(shown(ui, QStringLiteral("loadButton")), 15000);
        QVERIFY(shown(ui, QStringLiteral("deleteButton")) && shown(ui, QStringLiteral("downloadedMark")));

        // The status row keeps one height idle, loading (spinner), running (Stop) and stopped.
        QSignalSpy statusRowHeight(ui.find(QStringLiteral("engineStatusRow")), SIGNAL(heightChanged()));
        ui.click(QStringLiteral("loadButton"));
        QTRY_VERIFY_WITH_TIMEOUT(shown(ui, QStringLiteral("loadedLabel")), 20000);
        QVERIFY(shown(ui, QStringLiteral("stopButton")));
        const QString path = ModelManager::localFileURL(models.models().at(0), models.models().at(0).variants.first()).toLocalFile();
        QCOMPARE(engine->activeModelPath().value_or(QString()), path);

        // Once stopped, the row offers Load again.
        ui.click(QStringLiteral("stopButton"));
        QTRY_VERIFY_WITH_TIMEOUT(shown(ui, QStringLiteral("loadButton")), 10000);
        QVERIFY(!shown(ui, QStringLiteral("stopButton")));
        QVERIFY(statusRowHeight.isEmpty());
        // Deleting needs no confirmation.
        ui.click(QStringLiteral("deleteButton"));
        QTRY_VERIFY(shown(ui, QStringLiteral("downloadButton")));
        QVERIFY(!QFileInfo::exists(path));
    }

    // A failed download is told once, with a hint and Retry, which downloads the same file again.
    void downloadErrorNotice()
    {
        QmlHarness ui;
        ModelManager models(m_hub.baseURL(QStringLiteral("size=300000,cut")), DownloadTiming{});
        auto engine = makeEngine();
        QVERIFY(start(ui, models, *engine));
        QVERIFY(!shown(ui, QStringLiteral("downloadErrorNotice")));
        QSignalSpy changes(&models, &ModelManager::variantChanged);
        ui.click(QStringLiteral("modelCard_Qwen 2.5 3B Instruct"));
        ui.click(QStringLiteral("downloadButton"));
        QTRY_VERIFY(shown(ui, QStringLiteral("downloadErrorNotice")));
        const QList<QVariant> failed = changes.first();
        QVERIFY(models.lastErrorText().startsWith(QStringLiteral("Download failed: ")));
        QCOMPARE(ui.find(QStringLiteral("downloadErrorMessage"))->property("text").toString(), models.lastErrorText());
        QVERIFY(shown(ui, QStringLiteral("downloadErrorHint")));
        QCOMPARE(ui.find(QStringLiteral("downloadErrorHint"))->property("text").toString(), QStringLiteral("Check your connection"));
        ui.saveScreenshot(QStringLiteral("model-library-download-error"));

        changes.clear();
        ui.click(QStringLiteral("downloadRetryButton"));
        QTRY_VERIFY(!changes.isEmpty());
        QCOMPARE(changes.first(), failed);
        QTRY_VERIFY(shown(ui, QStringLiteral("downloadErrorNotice")));  // failed again, told again
    }

    // A model file from disk joins the library; once moved away it shows as not found and can be removed.
    void openFileAndRemoveMissing()
    {
        MORLO_REQUIRE_REAL_ENGINES();
        QTemporaryDir own;
        const QString path = own.filePath(QStringLiteral("tiny.gguf"));
        QVERIFY(QFile::copy(TestSupport::realTinyModel(), path));
        QmlHarness ui;
        ModelManager models(m_hub.baseURL(), DownloadTiming{});
        auto engine = makeEngine();
        QVERIFY(start(ui, models, *engine));
        QQuickItem *list = ui.find(QStringLiteral("modelList"));
        ui.click(QStringLiteral("openModelFileButton"));
        QObject *dialog = ui.findObject(QStringLiteral("openModelFileDialog"));
        // The file panel belongs to the platform; the choice is made the way it reports one.
        QVERIFY(dialog->setProperty("selectedFile", QUrl::fromLocalFile(path)));
        QMetaObject::invokeMethod(dialog, "accepted");
        QTRY_COMPARE(list->property("count").toInt(), 4);
        QVERIFY(!shown(ui, QStringLiteral("openFileProblem")));
        ui.saveScreenshot(QStringLiteral("model-library-open-file"));
        ui.click(QStringLiteral("modelCard_LLaMA v2"));
        QTRY_VERIFY(shown(ui, QStringLiteral("loadButton")));

        // A file that moved away shows as not found, and Remove forgets it.
        QVERIFY(QFile::rename(path, own.filePath(QStringLiteral("moved.gguf"))));
        models.refreshDownloadStatus();
        QTRY_VERIFY(shown(ui, QStringLiteral("fileNotFoundLabel")));
        ui.click(QStringLiteral("removeMissingButton"));
        QTRY_COMPARE(list->property("count").toInt(), 3);
    }

private:
    static bool start(QmlHarness &ui, ModelManager &models, ServerManager &engine)
    {
        return ui.startView(QStringLiteral("ModelLibraryView.qml"),
                            {{QStringLiteral("modelManager"), QVariant::fromValue<QObject *>(&models)},
                             {QStringLiteral("serverManager"), QVariant::fromValue<QObject *>(&engine)}});
    }

    std::unique_ptr<ServerManager> makeEngine()
    {
        EngineEnvironment environment = EngineEnvironment::standard();
        environment.engineCandidates = {QDir(TestSupport::fakesDirectory()).filePath(QStringLiteral("fake-llama-server"))};
        environment.homebrewLocations = {};
        environment.enginePidFile = m_engineDir.filePath(QStringLiteral("engine.pid"));
        environment.port = freePort();
        environment.pollIntervalMs = 20;
        return std::make_unique<ServerManager>(environment, nullptr);
    }

    LocalHub m_hub;
    QTemporaryDir m_engineDir;
};

QTEST_MAIN(TestModelLibraryView)
#include "tst_model_library_view.moc"
