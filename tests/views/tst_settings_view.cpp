#include "SettingsFixture.h"

#include "ChatTransfer.h"
#include "DataReset.h"
#include "platform/AppPaths.h"

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QGuiApplication>
#include <QTemporaryDir>

namespace {

// Scrolls the form so that the item is on screen, then clicks it.
void press(ViewFixture &f, const QString &objectName)
{
    QQuickItem *item = f.find(objectName);
    QVERIFY2(item, qPrintable(objectName));
    auto *flick = f.find("settingsScroll")->property("contentItem").value<QQuickItem *>();
    auto *content = flick ? flick->property("contentItem").value<QQuickItem *>() : nullptr;
    if (content && content->isAncestorOf(item)) {
        flick->setProperty("contentY", qMax<qreal>(0, item->mapToItem(content, QPointF(0, 0)).y() - 60));
        f.harness->settle();
    }
    f.harness->click(item);
}

// Empties the field (the stored value must stay), then pastes the text in as a whole.
void paste(ViewFixture &f, const QString &objectName, const QString &text)
{
    QQuickItem *field = f.find(objectName);
    field->forceActiveFocus();
    QMetaObject::invokeMethod(field, "selectAll");
    QTest::keyClick(f.harness->window(), Qt::Key_Delete);
    QGuiApplication::clipboard()->setText(text);
    f.harness->pressKey(Qt::Key_V, Qt::ControlModifier);
}

// Presses the button and returns the file dialog it opened (the desktop's own where it has one;
// here Qt's).
QFileDialog *openDialog(ViewFixture &f, const char *button)
{
    press(f, QString::fromLatin1(button));
    QFileDialog *dialog = nullptr;
    (void)QTest::qWaitFor([&] {
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (auto *candidate = qobject_cast<QFileDialog *>(widget); candidate && candidate->isVisible())
                dialog = candidate;
        return dialog != nullptr;
    }, 5000);
    return dialog;
}

QPushButton *acceptButton(QFileDialog *dialog)
{
    auto *buttons = dialog->findChild<QDialogButtonBox *>();
    for (QAbstractButton *button : buttons->buttons())
        if (buttons->buttonRole(button) == QDialogButtonBox::AcceptRole)
            return qobject_cast<QPushButton *>(button);
    return nullptr;
}

// Types the path into the dialog's name field, as a person would, and presses its button.
void choose(QFileDialog *dialog, const QString &path)
{
    auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    name->clear();
    QTest::keyClicks(name, path);
    QPushButton *button = acceptButton(dialog);
    QVERIFY(button && button->isEnabled());
    QTest::mouseClick(button, Qt::LeftButton);
}

// Starts the settings view, with the two deletion phases shortened.
bool start(ViewFixture &f)
{
    if (!f.start(QStringLiteral("SettingsView.qml"), {900, 640}))
        return false;
    f.view()->setProperty("deletingDelay", 80);
    f.view()->setProperty("doneHold", 80);
    return true;
}

} // namespace

class TestSettingsView : public QObject
{
    Q_OBJECT

private slots:
    // A failed install offers Try Again; the second run installs; uninstalling needs no confirmation.
    void engineBlock()
    {
        ViewFixture f(false, ViewFixture::Brew::present);
        qputenv("MORLO_FAKE_BREW_EXIT", "3");
        qunsetenv("MORLO_FAKE_BREW_ENGINE");
        qputenv("MORLO_FAKE_BREW_PIECES", "1 ==> Downloading llama.cpp\\n\n1 ==> Pouring\\n");
        qputenv("MORLO_FAKE_BREW_DELAY", "0.4");  // long enough to catch the install running
        QVERIFY(start(f));
        auto block = [&] { return f.view()->property("engineBlock").toString(); };
        QCOMPARE(block(), QStringLiteral("idle"));
        press(f, "installButton");
        QTRY_VERIFY(f.shown("brewOutputLog"));
        QTRY_VERIFY(f.text("brewOutputLog").contains(QStringLiteral("Pouring")));
        f.harness->saveScreenshot(QStringLiteral("settings-installing"));
        QTRY_COMPARE(block(), QStringLiteral("failed"));
        QCOMPARE(f.text("installFailure"), QStringLiteral("brew install failed (exit 3)"));

        qputenv("MORLO_FAKE_BREW_EXIT", "0");
        qputenv("MORLO_FAKE_BREW_ENGINE", f.enginePath.toUtf8());
        press(f, "retryInstallButton");
        QTRY_COMPARE(block(), QStringLiteral("installed"));
        press(f, "uninstallButton");
        QTRY_COMPARE(block(), QStringLiteral("idle"));
        QVERIFY(!QFileInfo::exists(f.enginePath));
    }

    void startupModel()
    {
        ViewFixture f(true, ViewFixture::Brew::present);
        // A stored choice with nothing downloaded shows only the hint.
        f.state->setAutoLoadModel(QStringLiteral("/gone/model.gguf"), QStringLiteral("Gone Q4"));
        QVERIFY(start(f));
        QVERIFY(f.shown("noDownloadedModelHint"));
        QVERIFY(!f.shown("autoLoadSwitch"));
        f.state->setAutoLoadModel(std::nullopt, std::nullopt);

        const QString first = f.download(0);
        const QString second = f.download(1);
        QTRY_VERIFY(f.shown("autoLoadSwitch"));
        QVERIFY(!f.shown("noDownloadedModelHint"));
        QVERIFY(!f.shown("autoLoadPicker"));

        // Switching it on stores the first file in catalogue order.
        press(f, "autoLoadSwitch");
        QCOMPARE(DefaultsStore().text(DefaultsKeys::autoLoadModelPath), first);
        QCOMPARE(f.state->autoLoadModelName(), QStringLiteral("Llama 3.2 3B Instruct Q4_K_M"));
        QTRY_VERIFY(f.shown("autoLoadPicker"));

        QQuickItem *picker = f.find("autoLoadPicker");
        QCOMPARE(picker->property("currentIndex").toInt(), 0);
        QMetaObject::invokeMethod(picker, "activated", Q_ARG(int, 1));
        QCOMPARE(f.state->autoLoadModelPath(), second);
        QCOMPARE(DefaultsStore().text(DefaultsKeys::autoLoadModelName), QStringLiteral("Llama 3.1 8B Instruct Q4_K_M"));
        QTRY_COMPARE(picker->property("currentIndex").toInt(), 1);
        f.harness->saveScreenshot(QStringLiteral("settings-view"));

        press(f, "autoLoadSwitch");
        QCOMPARE(f.state->autoLoadModelPath(), std::nullopt);
        QVERIFY(!DefaultsStore().contains(DefaultsKeys::autoLoadModelPath));
    }

    void generationAndSound()
    {
        ViewFixture f(true, ViewFixture::Brew::present);
        QVERIFY(start(f));
        QCOMPARE(f.text("temperatureValue"), QStringLiteral("0.70"));

        // Text that is not a whole number keeps the value; zero and negatives are stored as given.
        const QList<std::pair<QString, int>> pasted{{"512", 512}, {"abc", 512}, {"1.5", 512}, {"99999999999", 512},
                                                    {" 64 ", 64}, {"0", 0}, {"-40", -40}};
        for (const auto &[text, expected] : pasted) {
            paste(f, "maxTokensField", text);
            QCOMPARE(f.state->maxTokens(), expected);
            QCOMPARE(DefaultsStore().value(DefaultsKeys::maxTokens).toInt(), expected);
        }

        f.state->setTemperature(1.25);
        QTRY_COMPARE(f.text("temperatureValue"), QStringLiteral("1.25"));
        QQuickItem *slider = f.find("temperatureSlider");
        QMetaObject::invokeMethod(slider, "increase");
        QMetaObject::invokeMethod(slider, "moved");
        QCOMPARE(f.state->temperature(), 1.3);
        QCOMPARE(DefaultsStore().value(DefaultsKeys::temperature).toDouble(), 1.3);

        // The sound is on until switched off, and each switch is stored.
        QVERIFY(f.find("completionSoundSwitch")->property("checked").toBool());
        press(f, "completionSoundSwitch");
        QCOMPARE(DefaultsStore().boolean(DefaultsKeys::completionSoundEnabled, true), false);
        press(f, "completionSoundSwitch");
        QCOMPARE(DefaultsStore().boolean(DefaultsKeys::completionSoundEnabled, false), true);
        // A change made in the other settings view shows here at once: both read the store.
        f.state->setCompletionSoundEnabled(false);
        QTRY_VERIFY(!f.find("completionSoundSwitch")->property("checked").toBool());

        // Reading the clipboard asks first only once the user says so.
        QVERIFY(!f.find("askBeforeClipboardSwitch")->property("checked").toBool());
        press(f, "askBeforeClipboardSwitch");
        QVERIFY(f.state->askBeforeReadingClipboard());
        QCOMPARE(DefaultsStore().boolean(DefaultsKeys::askBeforeReadingClipboard, false), true);
    }

    void homebrewHintAndChatExportImport()
    {
        // Neither the engine nor Homebrew here: the form says how to get Homebrew.
        ViewFixture f(false, ViewFixture::Brew::missing);
        f.state->appendMessage(Message::make(Roles::user, QStringLiteral("keep this chat")));
        f.state->syncActiveSession();
        QVERIFY(start(f));
        QCOMPARE(f.view()->property("engineBlock").toString(), QStringLiteral("homebrewMissing"));
        QVERIFY(f.text("homebrewCommand").contains(QStringLiteral("Homebrew/install")));

        // A fresh account has no documents folder: the dialogs start at home, and a folder
        // typed into the save dialog is made.
        QVERIFY(!QDir(QDir::home().filePath(QStringLiteral("Documents"))).exists());
        const QString target = QDir::home().filePath(QStringLiteral("Backups/chats/mine.json"));
        QDir(QDir::home().filePath(QStringLiteral("Backups"))).removeRecursively();
        QFileDialog *dialog = openDialog(f, "exportButton");
        QVERIFY(dialog);
        QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptSave);
        QCOMPARE(QDir(dialog->directory()).canonicalPath(), QDir::home().canonicalPath());
        QPushButton *save = acceptButton(dialog);
        QCOMPARE(save->text().remove(u'&'), QStringLiteral("Save"));
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->clear();
        QVERIFY(!save->isEnabled());  // a typed name enables it (below)
        choose(dialog, target);
        QTRY_VERIFY(QFileInfo::exists(target));
        QCOMPARE(f.text("transferMessage"), QStringLiteral("Exported 1 conversation to ") + target);

        // A good archive is appended; a foreign file says why it is refused and changes nothing.
        const QString foreign = QDir::home().filePath(QStringLiteral("notes.json"));
        QFile notes(foreign);
        QVERIFY(notes.open(QIODevice::WriteOnly));
        notes.write("shopping: milk, eggs");
        notes.close();
        const QList<std::pair<QString, QString>> imports{
            {target, QStringLiteral("Imported 1 conversation")},
            {foreign, QStringLiteral("Not a Morlo AI chat export: the file is not JSON (illegal value at byte 1).")}};
        for (const auto &[path, message] : imports) {
            dialog = openDialog(f, "importButton");
            QVERIFY(dialog);
            QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptOpen);
            choose(dialog, path);
            QTRY_COMPARE(f.text("transferMessage"), message);
            QCOMPARE(f.state->sessionCount(), 2);
        }
        QCOMPARE(f.state->chatSessions().at(1).messages.first().content, QStringLiteral("keep this chat"));
    }

    void destructiveActions_data()
    {
        QTest::addColumn<QString>("action");  // names its button
        QTest::addColumn<bool>("confirm");
        QTest::newRow("clear history") << "clearHistory" << true;
        QTest::newRow("clear history cancelled") << "clearHistory" << false;
        QTest::newRow("delete all") << "deleteAll" << true;
    }

    void destructiveActions()
    {
        QFETCH(QString, action);
        QFETCH(bool, confirm);
        ViewFixture f(true, ViewFixture::Brew::present);
        const QString model = f.download(0);
        // Files of the app beside the models folder are never part of its data.
        const QString app = AppPaths::appSupportDirectory();
        const QStringList kept{app + QStringLiteral("/chats.unreadable.json"), app + QStringLiteral("/metal-stub/libstub.so")};
        for (const QString &path : kept) {
            QDir().mkpath(QFileInfo(path).absolutePath());
            QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        }
        f.state->appendMessage(Message::make(Roles::user, QStringLiteral("a chat")));
        f.state->syncActiveSession();
        f.state->newSession();
        f.state->appendMessage(Message::make(Roles::user, QStringLiteral("another chat")));
        f.state->syncActiveSession();
        f.state->setMaxTokens(100);
        f.state->setAutoLoadModel(model, QStringLiteral("Llama 3.2 3B Instruct Q4_K_M"));
        f.state->save();
        DefaultsStore().setValue(DefaultsKeys::onboardingComplete, true);
        f.server->startServer(model, QStringLiteral("Llama 3.2 3B Instruct Q4_K_M"));
        QTRY_VERIFY_WITH_TIMEOUT(f.server->isRunning(), 20'000);
        DefaultsStore().setValue(DefaultsKeys::completionSoundEnabled, false);
        QVERIFY(start(f));
        // While a reply is being written the actions that would change it wait, saying why.
        f.state->setIsLoading(true);
        for (const char *name : {"clearHistoryButton", "deleteAllButton", "importButton"})
            QVERIFY2(!f.find(name)->isEnabled(), name);
        QCOMPARE(f.text("dataBlockedReason"), f.state->changeBlockedReason());
        QVERIFY(f.find("importBlockedReason")->isVisible());
        f.state->setIsLoading(false);
        QVERIFY(!f.harness->findObject(QStringLiteral("dataBlockedReason"))->property("visible").toBool());
        const bool clear = action == QLatin1String("clearHistory");
        const char *phaseName = clear ? "chatDeletePhase" : "allDeletePhase";
        auto phase = [&] { return f.view()->property(phaseName).toInt(); };
        const QString dialog = clear ? QStringLiteral("clearConfirm") : QStringLiteral("deleteAllConfirm");

        press(f, action + QStringLiteral("Button"));
        QTRY_VERIFY(f.opened(dialog));
        f.harness->click(dialog + (confirm ? QStringLiteral("Confirm") : QStringLiteral("Cancel")));
        QCOMPARE(phase(), confirm ? 1 : 0);
        QCOMPARE(f.state->sessionCount(), 2);
        QTRY_VERIFY(!f.harness->findObject(dialog)->property("visible").toBool());
        if (confirm)
            QTRY_COMPARE(phase(), 2);
        // Clearing leaves one new empty chat and keeps models and settings; deleting all stops the
        // engine and leaves nothing of either.
        const bool everything = confirm && !clear;
        QTRY_COMPARE(f.server->isRunning(), !everything);
        QTRY_COMPARE(QFileInfo::exists(model), !everything);
        QCOMPARE(f.models->models().first().variants.first().isDownloaded, !everything);
        QCOMPARE(f.state->sessionCount(), confirm ? 1 : 2);
        QCOMPARE(f.state->messages().isEmpty(), confirm);
        QCOMPARE(f.state->maxTokens(), everything ? 2048 : 100);
        QCOMPARE(f.state->autoLoadModelPath().has_value(), !everything);
        QCOMPARE(DefaultsStore().contains(DefaultsKeys::onboardingComplete), !everything);
        QCOMPARE(DefaultsStore().contains(DefaultsKeys::completionSoundEnabled), !everything);
        for (const QString &path : kept)
            QVERIFY2(QFileInfo::exists(path), qPrintable(path));
        QTRY_COMPARE(phase(), 0);
        QCoro::waitFor(f.server->stopServer());
    }

    void modelsFolderLinkIsNotFollowed()
    {
        QTemporaryDir outside;
        QTemporaryDir app;
        const QString precious = outside.filePath(QStringLiteral("precious.gguf"));
        QVERIFY(QFile(precious).open(QIODevice::WriteOnly));
        const QString models = app.filePath(QStringLiteral("models"));

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
};

QTEST_MAIN(TestSettingsView)
#include "tst_settings_view.moc"
