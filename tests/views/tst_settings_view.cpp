#include "SettingsFixture.h"

#include "DataReset.h"
#include "platform/AppPaths.h"
#include "platform/PortalDialogs.h"

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
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

// Presses the button and returns the file dialog it opened (Qt's here: no portal runs).
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

// Pastes the path into the dialog's name field, as a person would, and presses its button.
// Not typed key by key: Qt's dialog selects every folder along a path as it is typed, and one
// the still-loading folder model reselects makes Open enter that folder instead (seen with a
// home inside the crowded /tmp).
void choose(QFileDialog *dialog, const QString &path)
{
    auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    name->clear();
    QGuiApplication::clipboard()->setText(path);
    QTest::keyClick(name, Qt::Key_V, Qt::ControlModifier);
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

void touch(const QString &path, const QByteArray &text = {})
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

} // namespace

class TestSettingsView : public QObject
{
    Q_OBJECT

private slots:
    void startupModel()
    {
        ViewFixture f(true, ViewFixture::Brew::present);
        QVERIFY(start(f));
        QVERIFY(f.shown("noDownloadedModelHint") && !f.shown("autoLoadSwitch"));
        const QString first = f.download(0);
        const QString second = f.download(1);
        QTRY_VERIFY(f.shown("autoLoadSwitch"));
        QVERIFY(!f.shown("noDownloadedModelHint") && !f.shown("autoLoadPicker"));

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
        // Text that is not a whole number keeps the value; zero and negatives are stored as given.
        for (const auto &[text, expected] : QList<std::pair<QString, int>>{
                 {"512", 512}, {"abc", 512}, {"1.5", 512}, {"99999999999", 512}, {" 64 ", 64}, {"0", 0}, {"-40", -40}}) {
            paste(f, "maxTokensField", text);
            QCOMPARE(DefaultsStore().value(DefaultsKeys::maxTokens).toInt(), expected);
        }
        QMetaObject::invokeMethod(f.find("temperatureSlider"), "increase");
        QMetaObject::invokeMethod(f.find("temperatureSlider"), "moved");
        QCOMPARE(f.text("temperatureValue"), QStringLiteral("0.75"));
        // The sound is on until switched off; a change made in the other settings view shows here.
        press(f, "completionSoundSwitch");
        QCOMPARE(DefaultsStore().boolean(DefaultsKeys::completionSoundEnabled, true), false);
        f.state->setCompletionSoundEnabled(true);
        QTRY_VERIFY(f.find("completionSoundSwitch")->property("checked").toBool());
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

        // A fresh account has no documents folder: the dialogs start at home, the save dialog's
        // button says Save and waits for a name, and a folder typed into it is made.
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
        QVERIFY(!save->isEnabled());
        choose(dialog, target);
        QTRY_VERIFY(QFileInfo::exists(target));
        QCOMPARE(f.text("transferMessage"), QStringLiteral("Exported 1 conversation to ") + target);

        // It comes back in through the open dialog and is appended.
        dialog = openDialog(f, "importButton");
        QVERIFY(dialog);
        QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptOpen);
        choose(dialog, target);
        QTRY_COMPARE(f.text("transferMessage"), QStringLiteral("Imported 1 conversation"));
        QCOMPARE(f.state->sessionCount(), 2);
        QCOMPARE(f.state->chatSessions().at(1).messages.first().content, QStringLiteral("keep this chat"));
    }

    // The desktop's file chooser is used only where the session can start one and the user chose
    // no theme; elsewhere Save and Open would close at once, having shown nothing.
    void portalDialogs_data()
    {
        QTest::addColumn<QByteArray>("theme");
        QTest::addColumn<bool>("themeArgument");
        QTest::addColumn<bool>("bus");
        QTest::addColumn<QString>("interfaces");  // of the one portal backend; empty = no portal
        QTest::addColumn<bool>("portal");
        const QString chooser = QStringLiteral("org.freedesktop.impl.portal.Secret;org.freedesktop.impl.portal.FileChooser;");
        QTest::newRow("portal with a file chooser") << QByteArray() << false << true << chooser << true;
        QTest::newRow("user's theme") << QByteArray("gtk3") << false << true << chooser << false;
        QTest::newRow("user's theme argument") << QByteArray() << true << true << chooser << false;
        QTest::newRow("no session bus") << QByteArray() << false << false << chooser << false;
        QTest::newRow("no file chooser") << QByteArray() << false << true << QStringLiteral("org.freedesktop.impl.portal.Secret") << false;
    }

    void portalDialogs()
    {
        QFETCH(QByteArray, theme);
        QFETCH(bool, themeArgument);
        QFETCH(bool, bus);
        QFETCH(QString, interfaces);
        QFETCH(bool, portal);
        QTemporaryDir home, system;
        if (!interfaces.isEmpty()) {
            touch(home.filePath(QStringLiteral("dbus-1/services/org.freedesktop.portal.Desktop.service")), "[D-BUS Service]\n");
            touch(system.filePath(QStringLiteral("xdg-desktop-portal/portals/desk.portal")),
                  "[portal]\nDBusName=org.freedesktop.impl.portal.desktop.desk\nInterfaces=" + interfaces.toUtf8() + "\n");
        }
        QCOMPARE(PortalDialogs::usePortal({theme, themeArgument, bus, {home.path(), system.path()}}), portal);
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
        for (const QString &path : kept)
            touch(path);
        f.state->appendMessage(Message::make(Roles::user, QStringLiteral("a chat")));
        f.state->syncActiveSession();
        f.state->newSession();
        f.state->appendMessage(Message::make(Roles::user, QStringLiteral("another chat")));
        f.state->syncActiveSession();
        f.state->setMaxTokens(100);
        f.state->setAutoLoadModel(model, QStringLiteral("Llama 3.2 3B Instruct Q4_K_M"));
        f.state->save();
        DefaultsStore().setValue(DefaultsKeys::onboardingComplete, true);
        DefaultsStore().setValue(DefaultsKeys::completionSoundEnabled, false);
        f.server->startServer(model, QStringLiteral("Llama 3.2 3B Instruct Q4_K_M"));
        QTRY_VERIFY_WITH_TIMEOUT(f.server->isRunning(), 20'000);
        QVERIFY(start(f));
        // While a reply is being written the actions that would change it wait.
        f.state->setIsLoading(true);
        for (const char *name : {"clearHistoryButton", "deleteAllButton", "importButton"})
            QVERIFY2(!f.find(name)->isEnabled(), name);
        f.state->setIsLoading(false);
        const bool clear = action == QLatin1String("clearHistory");
        auto phase = [&] { return f.view()->property(clear ? "chatDeletePhase" : "allDeletePhase").toInt(); };
        const QString dialog = clear ? QStringLiteral("clearConfirm") : QStringLiteral("deleteAllConfirm");

        press(f, action + QStringLiteral("Button"));
        QTRY_VERIFY(f.opened(dialog));
        f.harness->click(dialog + (confirm ? QStringLiteral("Confirm") : QStringLiteral("Cancel")));
        QCOMPARE(phase(), confirm ? 1 : 0);
        QCOMPARE(f.state->sessionCount(), 2);  // nothing happens before the spinner's time
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

    // Erasing the models folder never follows a link out of it, nor works outside the app's folder.
    void modelsFolderLinkIsNotFollowed()
    {
        QTemporaryDir outside, app;
        const QString precious = outside.filePath(QStringLiteral("precious.gguf"));
        touch(precious);
        const QString models = app.filePath(QStringLiteral("models"));
        QVERIFY(QFile::link(outside.path(), models));
        DataReset::removeModelsDirectory(models, app.path());
        QVERIFY(!QFileInfo(models).isSymLink() && QFileInfo::exists(precious));

        QVERIFY(QDir().mkpath(QDir(models).filePath(QStringLiteral("repo"))));
        QVERIFY(QFile::link(outside.path(), QDir(models).filePath(QStringLiteral("repo/linked"))));
        DataReset::removeModelsDirectory(models, app.path());
        QVERIFY(!QFileInfo::exists(models) && QFileInfo::exists(precious));

        DataReset::removeModelsDirectory(outside.path(), app.path());
        QVERIFY(QFileInfo::exists(precious));
    }
};

QTEST_MAIN(TestSettingsView)
#include "tst_settings_view.moc"
