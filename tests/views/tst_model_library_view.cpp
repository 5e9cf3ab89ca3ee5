#include "LocalHub.h"
#include "QmlHarness.h"
#include "TestSupport.h"
#include "engine/ServerManager.h"
#include "models/ModelManager.h"

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QQuickItem>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <qcorotask.h>

namespace {
int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// A GGUF v3 header naming itself "Tiny Test Model", quantised Q4_K_M.
void writeTinyGguf(const QString &path)
{
    QByteArray bytes("GGUF");
    auto number = [&](auto value) { bytes.append(reinterpret_cast<const char *>(&value), sizeof value); };
    auto text = [&](const QByteArray &t) { number(quint64(t.size())); bytes += t; };
    number(quint32(3));
    number(quint64(0));
    number(quint64(2));
    text("general.name");
    number(quint32(8));
    text("Tiny Test Model");
    text("general.file_type");
    number(quint32(4));
    number(quint32(15));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
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
    void initTestCase() { QVERIFY(m_hub.isListening() && m_repoHub.isListening()); }
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

        QQuickItem *field = ui.find(QStringLiteral("modelSearchField"));
        ui.typeText(field, QStringLiteral("8b"));
        QTRY_COMPARE(list->property("count").toInt(), 1);
        QVERIFY(shown(ui, QStringLiteral("modelCard_Llama 3.1 8B Instruct")));
        ui.click(QStringLiteral("clearModelSearchButton"));
        QTRY_COMPARE(list->property("count").toInt(), 3);
        ui.typeText(field, QStringLiteral("tessoran"));
        QTRY_COMPARE(list->property("count").toInt(), 0);
        ui.click(QStringLiteral("clearModelSearchButton"));
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
        QVERIFY(models.memoryWarningText().contains(QStringLiteral("(4 GB)")));
        ui.click(QStringLiteral("modelCard_Qwen 2.5 3B Instruct"));
        QTRY_VERIFY(shown(ui, QStringLiteral("downloadButton")));
        QVERIFY(!shown(ui, QStringLiteral("memoryWarning")));
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
        QQuickItem *progress = ui.find(QStringLiteral("progressText"));
        QVERIFY(progress);
        QTRY_VERIFY(progress->property("text").toString().contains(QStringLiteral(" MB")));
        QTRY_VERIFY(shown(ui, QStringLiteral("remainingTimeText")));
        QTRY_VERIFY(!ui.find(QStringLiteral("remainingTimeText"))->property("text").toString().isEmpty());
        ui.saveScreenshot(QStringLiteral("model-library-download"));

        ui.click(QStringLiteral("cancelButton"));
        QTRY_VERIFY(shown(ui, QStringLiteral("downloadButton")));
        QVERIFY(!models.models().at(0).variants.first().isDownloading);
        // The stopped transfer reports itself as a failed download.
        QObject *alert = ui.findObject(QStringLiteral("downloadErrorAlert"));
        QTRY_VERIFY(alert->property("visible").toBool());
        QMetaObject::invokeMethod(alert, "accept");
        QTRY_VERIFY(!alert->property("visible").toBool());

        // The next download continues from what the cancelled one kept.
        ui.click(QStringLiteral("downloadButton"));
        QTRY_VERIFY(models.models().at(0).variants.first().resumedBytes > 0);
        QTRY_VERIFY(ui.find(QStringLiteral("progressText"))->property("text").toString().endsWith(QStringLiteral("%")));
        ui.saveScreenshot(QStringLiteral("model-library-resumed-download"));
        QTRY_VERIFY_WITH_TIMEOUT(shown(ui, QStringLiteral("loadButton")), 15000);
        QVERIFY(shown(ui, QStringLiteral("deleteButton")));
        QVERIFY(shown(ui, QStringLiteral("downloadedMark")));

        ui.click(QStringLiteral("loadButton"));
        QTRY_VERIFY_WITH_TIMEOUT(shown(ui, QStringLiteral("loadedLabel")), 20000);
        QVERIFY(shown(ui, QStringLiteral("stopButton")));
        const QString path = ModelManager::localFileURL(models.models().at(0), models.models().at(0).variants.first()).toLocalFile();
        QCOMPARE(engine->activeModelPath().value_or(QString()), path);

        // Deleting the loaded file needs no confirmation.
        ui.click(QStringLiteral("deleteButton"));
        QTRY_VERIFY(shown(ui, QStringLiteral("downloadButton")));
        QVERIFY(!QFileInfo::exists(path));
        QCoro::waitFor(engine->stopServer());
    }

    void stoppedEngineOffersLoadAgain()
    {
        QmlHarness ui;
        ModelManager models(m_hub.baseURL(QStringLiteral("size=1000,gguf")), DownloadTiming{});
        auto engine = makeEngine();
        models.setServerManager(engine.get());
        QVERIFY(start(ui, models, *engine));
        ui.click(QStringLiteral("modelCard_Llama 3.2 3B Instruct"));
        ui.click(QStringLiteral("downloadButton"));
        ui.click(QStringLiteral("loadButton"));
        QTRY_VERIFY_WITH_TIMEOUT(shown(ui, QStringLiteral("loadedLabel")), 20000);
        ui.click(QStringLiteral("stopButton"));
        QTRY_VERIFY_WITH_TIMEOUT(shown(ui, QStringLiteral("loadButton")), 10000);
        QVERIFY(!shown(ui, QStringLiteral("stopButton")));
    }

    // A failed start shows the engine's whole log, wrapped, opened at its end, and copyable.
    void launchErrorIsReadable()
    {
        QTemporaryDir dir;
        QString log;
        for (int line = 1; line <= 200; ++line)
            log += QStringLiteral("llama_model_load: line %1 of the engine's log, long enough that it cannot fit across the "
                                  "window and has to wrap onto a second line rather than run off to the side\n").arg(line);
        QFile script(dir.filePath(QStringLiteral("script.json")));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(QJsonDocument(QJsonObject{{"stderr", log + "the reason it failed\n"}, {"loadMs", 600000},
                                               {"exitAfterMs", 50}, {"exitCode", 1}}).toJson());
        script.close();
        qputenv("MORLO_FAKE_ENGINE_SCRIPT", script.fileName().toUtf8());
        const auto restore = qScopeGuard([] { qunsetenv("MORLO_FAKE_ENGINE_SCRIPT"); });

        QmlHarness ui;
        ModelManager models(m_hub.baseURL(), DownloadTiming{});
        auto engine = makeEngine();
        QVERIFY(start(ui, models, *engine));
        QCoro::waitFor(engine->startServer(dir.filePath(QStringLiteral("tiny.gguf")), QStringLiteral("Tiny")));
        QCOMPARE(engine->statusMessage(), QStringLiteral("Failed to start — see error below"));
        QQuickItem *text = ui.find(QStringLiteral("launchErrorText"));
        QVERIFY(text);
        QCOMPARE(text->property("text").toString(), log.trimmed() + QStringLiteral("\nthe reason it failed\n[exit 1]"));
        ui.settle(100);
        // Wrapped within the view, scrollable, and showing its last lines.
        QQuickItem *strip = ui.find(QStringLiteral("launchErrorStrip"));
        QVERIFY(strip->width() <= ui.find(QStringLiteral("modelLibraryView"))->width());
        QVERIFY(text->property("lineCount").toInt() > 2 * 200);
        QVERIFY(text->height() > 10 * strip->height());
        QQuickItem *flickable = text->parentItem();
        while (flickable && !flickable->property("contentY").isValid())
            flickable = flickable->parentItem();
        QVERIFY(flickable && flickable->property("contentY").toReal() > text->height() / 2);
        ui.saveScreenshot("models_launch_error");

        ui.click(QStringLiteral("copyLaunchErrorButton"));
        QCOMPARE(QGuiApplication::clipboard()->text(), engine->lastLaunchErrorText());
    }

    void downloadErrorAlert()
    {
        QmlHarness ui;
        ModelManager models(m_hub.baseURL(QStringLiteral("size=300000,cut")), DownloadTiming{});
        auto engine = makeEngine();
        QVERIFY(start(ui, models, *engine));
        QObject *alert = ui.findObject(QStringLiteral("downloadErrorAlert"));
        QVERIFY(alert);
        QVERIFY(!alert->property("visible").toBool());
        ui.click(QStringLiteral("modelCard_Qwen 2.5 3B Instruct"));
        ui.click(QStringLiteral("downloadButton"));
        QTRY_VERIFY(alert->property("visible").toBool());
        QVERIFY(!models.lastErrorText().isEmpty());
        QCOMPARE(ui.find(QStringLiteral("downloadErrorMessage"))->property("text").toString(),
                 models.lastErrorText());
        QMetaObject::invokeMethod(alert, "accept");
        QTRY_VERIFY(!alert->property("visible").toBool());
        QCOMPARE(models.lastErrorText(), QString());
        ui.settle(200);
        QVERIFY(!alert->property("visible").toBool());

        // The next failure raises it again.
        ui.click(QStringLiteral("downloadButton"));
        QTRY_VERIFY(alert->property("visible").toBool());
    }

    // A file from disk, a file from a hub repository and a hub search, as the user does them.
    void openFileAddFromHubAndSearch()
    {
        QTemporaryDir own;
        const QString path = own.filePath(QStringLiteral("tiny.gguf"));
        writeTinyGguf(path);
        QmlHarness ui;
        ModelManager models(m_repoHub.baseURL(), DownloadTiming{}, nullptr, QStringLiteral("Morlo AI tests"));
        auto engine = makeEngine();
        models.setServerManager(engine.get());
        QVERIFY(start(ui, models, *engine));
        QQuickItem *list = ui.find(QStringLiteral("modelList"));

        ui.click(QStringLiteral("openModelFileButton"));
        QObject *dialog = ui.findObject(QStringLiteral("openModelFileDialog"));
        // The file panel belongs to the platform; the choice is made the way it reports one.
        QVERIFY(dialog->setProperty("selectedFile", QUrl::fromLocalFile(path)));
        QMetaObject::invokeMethod(dialog, "accepted");
        QTRY_COMPARE(list->property("count").toInt(), 4);
        QVERIFY(!shown(ui, QStringLiteral("openFileProblem")));
        ui.click(QStringLiteral("modelCard_Tiny Test Model"));
        QTRY_VERIFY(shown(ui, QStringLiteral("loadButton")));
        ui.saveScreenshot(QStringLiteral("model-library-open-file"));
        ui.click(QStringLiteral("loadButton"));
        QTRY_VERIFY_WITH_TIMEOUT(shown(ui, QStringLiteral("loadedLabel")), 20000);
        QCOMPARE(engine->activeModelPath().value_or(QString()), path);
        QCoro::waitFor(engine->stopServer());

        ui.click(QStringLiteral("addFromHubButton"));
        ui.typeText(ui.find(QStringLiteral("hubReferenceField")), QStringLiteral("alice/Tiny-GGUF"));
        ui.click(QStringLiteral("showHubFilesButton"));
        QTRY_VERIFY(shown(ui, QStringLiteral("hubFile_1")));
        ui.click(QStringLiteral("hubDownloadButton_0"));
        QTRY_COMPARE(list->property("count").toInt(), 5);
        ui.click(QStringLiteral("modelCard_Tiny-GGUF"));
        QTRY_VERIFY_WITH_TIMEOUT(shown(ui, QStringLiteral("loadButton")), 15000);
        QVERIFY2(models.lastErrorText().isEmpty(), qPrintable(models.lastErrorText()));
        ui.saveScreenshot(QStringLiteral("model-library-add-from-hub"));

        ui.typeText(ui.find(QStringLiteral("hubSearchField")), QStringLiteral("llama"));
        QTRY_VERIFY(shown(ui, QStringLiteral("hubRepository_1")));
        QVERIFY(!shown(ui, QStringLiteral("hubRepository_2")));
        ui.saveScreenshot(QStringLiteral("model-library-hub-search"));
        // Choosing a result lists its files.
        ui.click(QStringLiteral("hubRepository_0"));
        QTRY_VERIFY(!shown(ui, QStringLiteral("hubFile_1")) && shown(ui, QStringLiteral("hubFile_0")));

        // A file that moved away shows as not found, and Remove forgets it.
        QVERIFY(QFile::rename(path, own.filePath(QStringLiteral("moved.gguf"))));
        models.refreshDownloadStatus();
        ui.click(QStringLiteral("modelCard_Tiny Test Model"));
        QTRY_VERIFY(shown(ui, QStringLiteral("fileNotFoundLabel")));
        ui.saveScreenshot(QStringLiteral("model-library-file-not-found"));
        ui.click(QStringLiteral("removeMissingButton"));
        QTRY_COMPARE(list->property("count").toInt(), 4);
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
    LocalHub m_repoHub{QJsonObject{
        {QStringLiteral("alice/Tiny-GGUF"),
         QJsonObject{{QStringLiteral("files"), QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("Tiny-Q4_K_M.gguf")}, {QStringLiteral("size"), 300000}},
                                                           QJsonObject{{QStringLiteral("name"), QStringLiteral("Tiny-Q8_0.gguf")}, {QStringLiteral("size"), 500000}}}}}},
        {QStringLiteral("carol/Llama-3-GGUF"), QJsonObject{{QStringLiteral("files"), QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("Llama-3-Q4_K_M.gguf")}, {QStringLiteral("size"), 1000}}}}}},
        {QStringLiteral("dave/llama-chat-GGUF"), QJsonObject{{QStringLiteral("files"), QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("chat-Q8_0.gguf")}, {QStringLiteral("size"), 1000}}}}}},
    }};
    QTemporaryDir m_engineDir;
};

QTEST_MAIN(TestModelLibraryView)
#include "tst_model_library_view.moc"
