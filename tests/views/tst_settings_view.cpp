#include "SettingsFixture.h"

#include "ChatTransfer.h"
#include "DataReset.h"
#include "SettingsRules.h"
#include "conversation/DefaultsStore.h"
#include "platform/AppPaths.h"

#include <QSignalSpy>
#include <QTemporaryDir>

namespace {

// Scrolls the form so that the item is on screen, then clicks it.
void press(QmlHarness &ui, const QString &objectName)
{
    QQuickItem *item = ui.find(objectName);
    QVERIFY2(item, qPrintable(objectName));
    auto *scroll = ui.find(QStringLiteral("settingsScroll"), 0);
    if (scroll) {
        auto *flick = scroll->property("contentItem").value<QQuickItem *>();
        auto *content = flick ? flick->property("contentItem").value<QQuickItem *>() : nullptr;
        if (content && content->isAncestorOf(item)) {
            const qreal y = item->mapToItem(content, QPointF(0, 0)).y();
            flick->setProperty("contentY", qMax<qreal>(0, y - 60));
            ui.settle();
        }
    }
    ui.click(item);
}

bool isShown(QmlHarness &ui, const QString &objectName)
{
    QQuickItem *item = ui.find(objectName, 200);
    return item && item->isVisible();
}

void replaceText(QmlHarness &ui, const QString &objectName, const QString &text)
{
    QQuickItem *field = ui.find(objectName);
    field->forceActiveFocus();
    QMetaObject::invokeMethod(field, "selectAll");
    QTest::keyClick(ui.window(), Qt::Key_Delete);
    ui.typeText(field, text);
}

} // namespace

class TestSettingsView : public QObject
{
    Q_OBJECT

private slots:
    void rules_data();
    void rules();
    void engineBlock_data();
    void engineBlock();
    void startupModel();
    void generationAndSound();
    void exportImportThroughTheDialogs();
    void clearChatHistory_data();
    void clearChatHistory();
    void deleteAllData();
    void modelsFolderLinkIsNotFollowed();
};

void TestSettingsView::rules_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QVariant>("maxTokens");
    QTest::newRow("number") << "512" << QVariant(512);
    QTest::newRow("zero is kept") << "0" << QVariant(0);
    QTest::newRow("negative is kept") << "-5" << QVariant(-5);
    QTest::newRow("text") << "lots" << QVariant();
    QTest::newRow("decimal") << "1.5" << QVariant();
    QTest::newRow("too large for an integer") << "99999999999" << QVariant();
    QTest::newRow("empty") << "" << QVariant();
}

void TestSettingsView::rules()
{
    QFETCH(QString, typed);
    QFETCH(QVariant, maxTokens);
    QCOMPARE(SettingsRules::parseMaxTokens(typed), maxTokens);
}

void TestSettingsView::engineBlock_data()
{
    QTest::addColumn<bool>("engineInstalled");
    QTest::addColumn<bool>("brewPresent");
    QTest::addColumn<int>("brewExit");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    QTest::addColumn<QString>("shownAfter");
    QTest::newRow("installed") << true << true << 0 << "installed" << "installed" << "uninstallButton";
    QTest::newRow("no Homebrew") << false << false << 0 << "homebrewMissing" << "homebrewMissing" << "homebrewCommand";
    QTest::newRow("install succeeds") << false << true << 0 << "idle" << "installed" << "uninstallButton";
    QTest::newRow("install fails") << false << true << 3 << "idle" << "failed" << "retryInstallButton";
}

void TestSettingsView::engineBlock()
{
    QFETCH(bool, engineInstalled);
    QFETCH(bool, brewPresent);
    QFETCH(int, brewExit);
    QFETCH(QString, before);
    QFETCH(QString, after);
    QFETCH(QString, shownAfter);
    ViewFixture f(engineInstalled, brewPresent ? ViewFixture::Brew::present : ViewFixture::Brew::missing);
    qputenv("MORLO_FAKE_BREW_EXIT", QByteArray::number(brewExit));
    if (brewExit != 0)
        qunsetenv("MORLO_FAKE_BREW_ENGINE");
    qputenv("MORLO_FAKE_BREW_PIECES", "1 ==> Downloading llama.cpp\\n\n1 ==> Pouring\\n");
    QVERIFY(f.start(QStringLiteral("SettingsView.qml"), {900, 640}));
    QmlHarness &ui = *f.harness;
    QQuickItem *view = ui.window()->contentItem()->childItems().first();
    QCOMPARE(view->property("engineBlock").toString(), before);

    if (before == QLatin1String("idle")) {
        press(ui, QStringLiteral("installButton"));
        QTRY_VERIFY(isShown(ui, QStringLiteral("brewOutputLog")));
        QTRY_VERIFY(textOf(ui.find(QStringLiteral("brewOutputLog"))).contains(QStringLiteral("Pouring")));
        ui.saveScreenshot(QStringLiteral("settings-installing"));
    }
    QTRY_COMPARE(view->property("engineBlock").toString(), after);
    QVERIFY(isShown(ui, shownAfter));
    if (after == QLatin1String("failed"))
        QCOMPARE(textOf(ui.find(QStringLiteral("installFailure"))), QStringLiteral("brew install failed (exit 3)"));
    if (after == QLatin1String("homebrewMissing"))
        QVERIFY(textOf(ui.find(QStringLiteral("homebrewCommand"))).contains(QStringLiteral("Homebrew/install")));
    if (after == QLatin1String("installed") && brewPresent) {
        // Uninstalling needs no confirmation and brings the install button back.
        press(ui, QStringLiteral("uninstallButton"));
        QTRY_COMPARE(view->property("engineBlock").toString(), QStringLiteral("idle"));
        QVERIFY(!QFileInfo::exists(f.enginePath));
    }
}

void TestSettingsView::startupModel()
{
    ViewFixture f(true, ViewFixture::Brew::present);
    // A stored choice with nothing downloaded shows only the hint.
    f.state->setAutoLoadModel(QStringLiteral("/gone/model.gguf"), QStringLiteral("Gone Q4"));
    QVERIFY(f.start(QStringLiteral("SettingsView.qml"), {900, 640}));
    QmlHarness &ui = *f.harness;
    QVERIFY(isShown(ui, QStringLiteral("noDownloadedModelHint")));
    QVERIFY(!isShown(ui, QStringLiteral("autoLoadSwitch")));
    f.state->setAutoLoadModel(std::nullopt, std::nullopt);

    const QString first = f.download(0);
    const QString second = f.download(1);
    QTRY_VERIFY(isShown(ui, QStringLiteral("autoLoadSwitch")));
    QVERIFY(!isShown(ui, QStringLiteral("noDownloadedModelHint")));
    QVERIFY(!isShown(ui, QStringLiteral("autoLoadPicker")));

    press(ui, QStringLiteral("autoLoadSwitch"));
    QCOMPARE(f.state->autoLoadModelPath(), first);
    QCOMPARE(f.state->autoLoadModelName(), f.label(0));
    QVERIFY(f.label(0).startsWith(QStringLiteral("Llama 3.2 3B Instruct ")));
    QCOMPARE(DefaultsStore().text(DefaultsKeys::autoLoadModelPath), first);
    QTRY_VERIFY(isShown(ui, QStringLiteral("autoLoadPicker")));

    QQuickItem *picker = ui.find(QStringLiteral("autoLoadPicker"));
    QCOMPARE(picker->property("currentIndex").toInt(), 0);
    QMetaObject::invokeMethod(picker, "activated", Q_ARG(int, 1));
    QCOMPARE(f.state->autoLoadModelPath(), second);
    QCOMPARE(DefaultsStore().text(DefaultsKeys::autoLoadModelName), f.label(1));
    QTRY_COMPARE(picker->property("currentIndex").toInt(), 1);
    ui.saveScreenshot(QStringLiteral("settings-view"));

    press(ui, QStringLiteral("autoLoadSwitch"));
    QCOMPARE(f.state->autoLoadModelPath(), std::nullopt);
    QVERIFY(!DefaultsStore().contains(DefaultsKeys::autoLoadModelPath));
}

void TestSettingsView::generationAndSound()
{
    ViewFixture f(true, ViewFixture::Brew::present);
    QVERIFY(f.start(QStringLiteral("SettingsView.qml"), {900, 640}));
    QmlHarness &ui = *f.harness;
    QCOMPARE(textOf(ui.find(QStringLiteral("temperatureValue"))), QStringLiteral("0.70"));

    // Typed text that is not a number keeps the value; zero and negatives are stored as typed.
    const QList<std::pair<QString, int>> typed{{QStringLiteral("512"), 512}, {QStringLiteral("abc"), 512},
                                               {QStringLiteral("0"), 0}, {QStringLiteral("-40"), -40}};
    for (const auto &[text, expected] : typed) {
        replaceText(ui, QStringLiteral("maxTokensField"), text);
        QCOMPARE(f.state->maxTokens(), expected);
        QCOMPARE(DefaultsStore().value(DefaultsKeys::maxTokens).toInt(), expected);
    }

    f.state->setTemperature(1.25);
    QTRY_COMPARE(textOf(ui.find(QStringLiteral("temperatureValue"))), QStringLiteral("1.25"));
    QQuickItem *slider = ui.find(QStringLiteral("temperatureSlider"));
    QMetaObject::invokeMethod(slider, "increase");
    QMetaObject::invokeMethod(slider, "moved");
    QCOMPARE(f.state->temperature(), 1.3);
    QCOMPARE(DefaultsStore().value(DefaultsKeys::temperature).toDouble(), 1.3);

    QVERIFY(!DefaultsStore().contains(DefaultsKeys::completionSoundEnabled));
    QVERIFY(ui.find(QStringLiteral("completionSoundSwitch"))->property("checked").toBool());
    press(ui, QStringLiteral("completionSoundSwitch"));
    QCOMPARE(DefaultsStore().boolean(DefaultsKeys::completionSoundEnabled, true), false);
    press(ui, QStringLiteral("completionSoundSwitch"));
    QCOMPARE(DefaultsStore().boolean(DefaultsKeys::completionSoundEnabled, false), true);
}

void TestSettingsView::exportImportThroughTheDialogs()
{
    ViewFixture f(true, ViewFixture::Brew::present);
    f.state->appendMessage(Message::make(Roles::user, QStringLiteral("keep this chat")));
    f.state->syncActiveSession();
    QVERIFY(f.start(QStringLiteral("SettingsView.qml"), {900, 640}));
    QmlHarness &ui = *f.harness;
    QObject *exportDialog = ui.findObject(QStringLiteral("exportDialog"));
    QObject *importDialog = ui.findObject(QStringLiteral("importDialog"));
    QVERIFY(exportDialog->property("selectedFile").toUrl().path().endsWith(QStringLiteral("/MorloAI_chats.json")));

    QTemporaryDir dir;
    const QUrl file = QUrl::fromLocalFile(dir.filePath(ChatTransfer::defaultFileName));
    exportDialog->setProperty("selectedFile", file);
    QMetaObject::invokeMethod(exportDialog, "accepted");
    QVERIFY(QFileInfo::exists(file.toLocalFile()));
    QVERIFY(!isShown(ui, QStringLiteral("exportError")));

    importDialog->setProperty("selectedFile", file);
    QMetaObject::invokeMethod(importDialog, "accepted");
    QCOMPARE(f.state->sessionCount(), 2);
    QCOMPARE(f.state->chatSessions().at(1).messages.first().content, QStringLiteral("keep this chat"));

    // A folder that cannot be written says so and changes nothing else.
    exportDialog->setProperty("selectedFile", QUrl::fromLocalFile(file.toLocalFile() + QStringLiteral("/inside.json")));
    QMetaObject::invokeMethod(exportDialog, "accepted");
    QTRY_VERIFY(isShown(ui, QStringLiteral("exportError")));
    QCOMPARE(f.state->sessionCount(), 2);
}

void TestSettingsView::clearChatHistory_data()
{
    QTest::addColumn<bool>("confirm");
    QTest::newRow("confirmed") << true;
    QTest::newRow("cancelled") << false;
}

void TestSettingsView::clearChatHistory()
{
    QFETCH(bool, confirm);
    ViewFixture f(true, ViewFixture::Brew::present);
    f.state->appendMessage(Message::make(Roles::user, QStringLiteral("a chat")));
    f.state->syncActiveSession();
    f.state->newSession();
    f.state->setTemperature(1.1);
    f.state->setAutoLoadModel(QStringLiteral("/m.gguf"), QStringLiteral("M"));
    f.state->save();
    QVERIFY(f.start(QStringLiteral("SettingsView.qml"), {900, 640}));
    QmlHarness &ui = *f.harness;
    QQuickItem *view = ui.window()->contentItem()->childItems().first();
    view->setProperty("deletingDelay", 80);
    view->setProperty("doneHold", 80);

    press(ui, QStringLiteral("clearHistoryButton"));
    QTRY_VERIFY(ui.findObject(QStringLiteral("clearConfirm"))->property("opened").toBool());
    ui.click(ui.find(confirm ? QStringLiteral("clearConfirmConfirm") : QStringLiteral("clearConfirmCancel")));
    if (!confirm) {
        QTRY_VERIFY(!ui.findObject(QStringLiteral("clearConfirm"))->property("visible").toBool());
        QCOMPARE(view->property("chatDeletePhase").toInt(), 0);
        QCOMPARE(f.state->sessionCount(), 2);
        return;
    }
    QCOMPARE(view->property("chatDeletePhase").toInt(), 1);
    QCOMPARE(f.state->sessionCount(), 2);
    QTRY_COMPARE(view->property("chatDeletePhase").toInt(), 2);
    QCOMPARE(f.state->sessionCount(), 1);
    QVERIFY(f.state->messages().isEmpty());
    QCOMPARE(f.state->temperature(), 1.1);
    QCOMPARE(f.state->autoLoadModelPath(), QStringLiteral("/m.gguf"));
    QTRY_COMPARE(view->property("chatDeletePhase").toInt(), 0);
}

void TestSettingsView::deleteAllData()
{
    ViewFixture f(true, ViewFixture::Brew::present);
    const QString model = f.download(0);
    const QString app = AppPaths::appSupportDirectory();
    const QString keptCopy = QDir(app).filePath(QStringLiteral("chats.unreadable.json"));
    const QString stub = QDir(app).filePath(QStringLiteral("metal-stub/libstub.so"));
    QDir().mkpath(QFileInfo(stub).absolutePath());
    for (const QString &path : {keptCopy, stub}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("x");
    }
    DefaultsStore().setValue(DefaultsKeys::onboardingComplete, true);
    f.state->setMaxTokens(100);
    f.state->setAutoLoadModel(model, f.label(0));
    f.state->save();
    QVERIFY(f.start(QStringLiteral("SettingsView.qml"), {900, 640}));
    QmlHarness &ui = *f.harness;
    QQuickItem *view = ui.window()->contentItem()->childItems().first();
    view->setProperty("deletingDelay", 80);
    view->setProperty("doneHold", 80);

    press(ui, QStringLiteral("deleteAllButton"));
    QTRY_VERIFY(ui.findObject(QStringLiteral("deleteAllConfirm"))->property("opened").toBool());
    ui.click(ui.find(QStringLiteral("deleteAllConfirmConfirm")));
    QTRY_COMPARE(view->property("allDeletePhase").toInt(), 2);
    QTRY_VERIFY(!QFileInfo::exists(model));
    QTRY_VERIFY(!f.models->models().first().variants.first().isDownloaded);
    QCOMPARE(f.state->maxTokens(), 2048);
    QCOMPARE(f.state->autoLoadModelPath(), std::nullopt);
    QVERIFY(!DefaultsStore().contains(DefaultsKeys::onboardingComplete));
    QVERIFY(QFileInfo::exists(keptCopy));
    QVERIFY(QFileInfo::exists(stub));
    QTRY_COMPARE(view->property("allDeletePhase").toInt(), 0);
}

void TestSettingsView::modelsFolderLinkIsNotFollowed()
{
    QTemporaryDir outside;
    QTemporaryDir app;
    const QString precious = QDir(outside.path()).filePath(QStringLiteral("precious.gguf"));
    QFile file(precious);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const QString models = QDir(app.path()).filePath(QStringLiteral("models"));

    // The whole models folder is a link out of the app's folder: only the link goes.
    QVERIFY(QFile::link(outside.path(), models));
    DataReset::removeModelsDirectory(models, app.path());
    QVERIFY(!QFileInfo(models).isSymLink());
    QVERIFY(QFileInfo::exists(precious));

    // A link inside the models folder is removed, not followed.
    QVERIFY(QDir().mkpath(QDir(models).filePath(QStringLiteral("repo"))));
    QVERIFY(QFile::link(outside.path(), QDir(models).filePath(QStringLiteral("repo/linked"))));
    DataReset::removeModelsDirectory(models, app.path());
    QVERIFY(!QFileInfo::exists(models));
    QVERIFY(QFileInfo::exists(precious));

    // A models folder outside the app's folder is never touched.
    DataReset::removeModelsDirectory(outside.path(), app.path());
    QVERIFY(QFileInfo::exists(precious));
}

QTEST_MAIN(TestSettingsView)
#include "tst_settings_view.moc"
