#include "AppModel.h"
#include "QmlHarness.h"
#include "TestSupport.h"
#include "conversation/ArchiveStore.h"
#include "conversation/DefaultsStore.h"
#include "platform/AppPaths.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QQuickWindow>
#include <QQuickItem>
#include <QTest>

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        TestSupport::resetUserData();
        DefaultsStore().setValue(DefaultsKeys::onboardingComplete, true); // past the first-run sheet
        // Two stored conversations, the way an earlier run left them.
        ChatSession older = ChatSession::make();
        older.title = QStringLiteral("Trip to Lisbon");
        older.messages = {Message::make(Roles::user, QStringLiteral("Plan a weekend in Lisbon")),
                          Message::make(Roles::assistant, QStringLiteral("Day one: Alfama and the castle."))};
        ChatSession newer = ChatSession::make();
        newer.title = QStringLiteral("Sorting in C++");
        newer.messages = {Message::make(Roles::user, QStringLiteral("How do I sort a vector?"))};
        ArchiveStore store(AppPaths::chatArchivePath());
        store.save({newer, older});
    }

    void showsStoredSessionsAndSwitches()
    {
        QmlHarness ui;
        QVERIFY(ui.startMainWindow());
        QCOMPARE(ui.window()->title(), QStringLiteral("Morlo AI"));
        AgentState *state = ui.app()->agentState();
        QCOMPARE(state->chatSessions().size(), 2);

        QQuickItem *list = ui.find(QStringLiteral("messageList"));
        QVERIFY(list);
        QTRY_COMPARE(list->property("count").toInt(), 1);

        const QString olderId = state->chatSessions().at(1).id.toString(QUuid::WithoutBraces).toUpper();
        ui.click(QStringLiteral("sessionRow_") + olderId);
        QCOMPARE(state->activeSessionTitle(), QStringLiteral("Trip to Lisbon"));
        QTRY_COMPARE(list->property("count").toInt(), 2);

        ui.click(QStringLiteral("newChatButton"));
        QCOMPARE(state->chatSessions().size(), 3);
        QCOMPARE(state->activeSessionTitle(), QStringLiteral("New Chat"));
        QTRY_COMPARE(list->property("count").toInt(), 0);

        const QString shot = ui.saveScreenshot(QStringLiteral("main-window"));
        QVERIFY(QFileInfo(shot).size() > 0);
    }

    void settingsWindowOnShortcut()
    {
        QmlHarness ui;
        QVERIFY(ui.startMainWindow());
        const auto settingsWindow = [] {
            for (QWindow *window : QGuiApplication::topLevelWindows()) {
                if (window->title() == QLatin1String("Settings") && window->isVisible())
                    return qobject_cast<QQuickWindow *>(window);
            }
            return static_cast<QQuickWindow *>(nullptr);
        };
        QVERIFY(!settingsWindow());
        ui.pressKey(Qt::Key_Comma, Qt::ControlModifier);
        QTRY_VERIFY(settingsWindow());
        QQuickWindow *settings = settingsWindow();
        QCOMPARE(settings->size(), QSize(540, 540));
        QTest::qWait(200);
        const QString shot = QDir(TestSupport::screenshotDirectory()).filePath(QStringLiteral("settings-window.png"));
        QVERIFY(settings->grabWindow().save(shot));

        // Closed and asked for again: the same window comes back.
        settings->close();
        QTRY_VERIFY(!settingsWindow());
        ui.pressKey(Qt::Key_Comma, Qt::ControlModifier);
        QTRY_COMPARE(settingsWindow(), settings);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
