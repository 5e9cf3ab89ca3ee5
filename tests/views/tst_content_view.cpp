#include "AppModel.h"
#include "QmlHarness.h"
#include "SidebarRules.h"
#include "TestSupport.h"
#include "conversation/ArchiveStore.h"
#include "conversation/DefaultsStore.h"
#include "conversation/Identifiers.h"
#include "platform/AppPaths.h"

#include <QFile>
#include <QFileInfo>
#include <QQuickItem>
#include <QTest>

namespace {
// A fixed "now" for the rows' dates: Monday 16 March 2026, 18:00 local time.
const QDateTime now(QDate(2026, 3, 16), QTime(18, 0));

ChatSession stored(const QString &title, const QDateTime &updatedAt, bool pinned,
                   const QString &content = QString())
{
    ChatSession session = ChatSession::make();
    session.title = title;
    session.updatedAt = updatedAt;
    session.isPinned = pinned;
    if (!content.isEmpty())
        session.messages = {Message::make(Roles::user, content)};
    return session;
}

QString rowName(const ChatSession &session)
{
    return QStringLiteral("sessionRow_") + Identifiers::uuidText(session.id);
}

// The titles of the rows the list shows, top to bottom. Rows the list keeps aside for reuse
// stay among its children, so they are asked for by index.
QStringList drawnTitles(QQuickItem *list)
{
    QStringList titles;
    for (int row = 0; row < list->property("count").toInt(); ++row) {
        QQuickItem *item = nullptr;
        QMetaObject::invokeMethod(list, "itemAtIndex", Q_RETURN_ARG(QQuickItem *, item), Q_ARG(int, row));
        if (item)
            titles << item->property("title").toString();
    }
    return titles;
}
} // namespace

class TestContentView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        SidebarRules::setClock([] { return now; });
    }

    void init()
    {
        TestSupport::resetUserData();
        DefaultsStore().setValue(DefaultsKeys::onboardingComplete, true);
        m_sessions = {stored(QStringLiteral("Sorting in C++"), now.addSecs(-2 * 3600), false,
                             QStringLiteral("How do I sort a vector?")),
                      stored(QStringLiteral("Trip to Lisbon"), now.addDays(-1), true,
                             QStringLiteral("Plan a weekend in Lisbon")),
                      stored(QStringLiteral("groceries"), now.addSecs(-30 * 3600 - 19 * 3600), false),
                      stored(QStringLiteral("Old notes"), now.addDays(-8), false,
                             QStringLiteral("the castle closes at six")),
                      stored(QString(), now.addDays(-20), false)};
        ArchiveStore(AppPaths::chatArchivePath()).save(m_sessions);
    }

    void sidebarOrderSearchAndDates()
    {
        QmlHarness ui;
        QVERIFY(ui.startMainWindow());
        QQuickItem *list = ui.find(QStringLiteral("sessionList"));
        QTRY_COMPARE(drawnTitles(list), (QStringList{"Trip to Lisbon", "Sorting in C++", "groceries",
                                                     "Old notes", ""}));
        const QLocale locale = QLocale::system();
        const QStringList expectedDates{SidebarRules::relativeDate(now.addSecs(-2 * 3600), now, locale),
                                        QStringLiteral("Yesterday"),
                                        locale.dayName(6, QLocale::LongFormat),
                                        locale.toString(QDate(2026, 3, 8), QStringLiteral("MMM d")),
                                        QString()};
        for (int i = 0; i < 4; ++i) {
            QQuickItem *row = ui.find(rowName(m_sessions.at(i)));
            QVERIFY(row);
            QQuickItem *date = row->findChild<QQuickItem *>(QStringLiteral("relativeDate"));
            QCOMPARE(date->property("text").toString(), expectedDates.at(i));
        }
        QQuickItem *emptyRow = ui.find(rowName(m_sessions.at(4)));
        QQuickItem *badge = emptyRow->findChild<QQuickItem *>(QStringLiteral("badge"));
        QCOMPARE(badge->childItems().first()->property("text").toString(), QString());

        QQuickItem *field = ui.find(QStringLiteral("sessionSearchField"));
        ui.typeText(field, QStringLiteral("castle"));
        QTRY_COMPARE(drawnTitles(list), QStringList{"Old notes"});
        ui.click(QStringLiteral("clearSessionSearchButton"));
        QTRY_COMPARE(list->property("count").toInt(), 5);
        ui.typeText(field, QStringLiteral("   "));
        QTRY_COMPARE(list->property("count").toInt(), 5);

        ui.saveScreenshot(QStringLiteral("main-window-sidebar"));
    }

    void selectionPinAndDelete()
    {
        QmlHarness ui;
        QVERIFY(ui.startMainWindow());
        AgentState *state = ui.app()->agentState();
        QQuickItem *content = ui.find(QStringLiteral("contentView"));
        QQuickItem *list = ui.find(QStringLiteral("sessionList"));

        // Choosing a row from the Models tab switches back to Chat.
        ui.click(QStringLiteral("tab_models"));
        QCOMPARE(content->property("selectedTab").toString(), QStringLiteral("models"));
        ui.click(rowName(m_sessions.at(3)));
        QCOMPARE(state->activeSessionID().value_or(QUuid()), m_sessions.at(3).id);
        QCOMPARE(content->property("selectedTab").toString(), QStringLiteral("chat"));
        QTRY_COMPARE(ui.find(QStringLiteral("messageList"))->property("count").toInt(), 1);

        // Pinning from the context menu moves a row to the top group; the others keep their
        // order. The menu shows the pinned row's state the next time; a right click never opens
        // the conversation (checked below: the active one stays).
        ui.click(ui.find(rowName(m_sessions.at(2))), Qt::RightButton);
        QTRY_COMPARE(ui.find(QStringLiteral("pinMenuItem"))->property("text").toString(), QStringLiteral("Pin"));
        ui.click(QStringLiteral("pinMenuItem"));
        QTRY_COMPARE(drawnTitles(list), (QStringList{"Trip to Lisbon", "groceries", "Sorting in C++",
                                                     "Old notes", ""}));
        QTRY_VERIFY(!ui.findObject(QStringLiteral("sessionContextMenu"))->property("visible").toBool());
        ui.click(ui.find(rowName(m_sessions.at(2))), Qt::RightButton);
        QTRY_COMPARE(ui.find(QStringLiteral("pinMenuItem"))->property("text").toString(), QStringLiteral("Unpin"));
        QTest::keyClick(ui.window(), Qt::Key_Escape);
        QTRY_VERIFY(!ui.findObject(QStringLiteral("sessionContextMenu"))->property("visible").toBool());

        // The hover delete works on a row that is not selected.
        QQuickItem *row = ui.find(rowName(m_sessions.at(0)));
        QTest::mouseMove(ui.window(), row->mapToScene(QPointF(20, row->height() / 2)).toPoint());
        QTRY_COMPARE(content->property("hoveredSessionID").toString(), Identifiers::uuidText(m_sessions.at(0).id));
        QQuickItem *remove = row->findChild<QQuickItem *>(QStringLiteral("deleteSessionButton"));
        QTRY_VERIFY(remove->isVisible());
        ui.click(remove);
        QTRY_COMPARE(state->sessionCount(), 4);
        QCOMPARE(state->activeSessionID().value_or(QUuid()), m_sessions.at(3).id);

        // While a turn runs the conversation cannot be switched or replaced.
        state->setIsLoading(true);
        ui.click(rowName(m_sessions.at(1)));
        QCOMPARE(state->activeSessionID().value_or(QUuid()), m_sessions.at(3).id);
        QVERIFY(!ui.find(QStringLiteral("newChatButton"))->isEnabled());
        state->setIsLoading(false);
        ui.click(QStringLiteral("newChatButton"));
        QCOMPARE(state->sessionCount(), 5);
        QCOMPARE(state->activeSessionTitle(), QStringLiteral("New Chat"));
    }

    void onboardingOnFirstRun_data()
    {
        QTest::addColumn<bool>("completed");
        QTest::newRow("first run") << false;
        QTest::newRow("done before") << true;
    }

    void onboardingOnFirstRun()
    {
        QFETCH(bool, completed);
        if (completed)
            DefaultsStore().setValue(DefaultsKeys::onboardingComplete, true);
        else
            DefaultsStore().remove(DefaultsKeys::onboardingComplete);
        QmlHarness ui;
        QVERIFY(ui.startMainWindow());
        QQuickItem *content = ui.find(QStringLiteral("contentView"));
        QCOMPARE(content->property("showOnboarding").toBool(), !completed);
        if (completed) {
            // Erasing everything forgets the onboarding, so it is offered again, over the chat
            // tab rather than the settings page the erasing started from.
            content->setProperty("selectedTab", QStringLiteral("settings"));
            ui.app()->agentState()->resetAllData();
            QTRY_VERIFY(content->property("showOnboarding").toBool());
            QCOMPARE(content->property("selectedTab").toString(), QStringLiteral("chat"));
        }
    }

    // The store's events reach the user: an unreadable archive is named with its copy.
    void noticeBarShowsWhatTheStoreReports()
    {
        {
            QFile archive(AppPaths::chatArchivePath());
            QVERIFY(archive.open(QIODevice::WriteOnly));
            archive.write("[{\"id\":");
        }
        QmlHarness ui;
        QVERIFY(ui.startMainWindow());
        QQuickItem *bar = ui.find(QStringLiteral("noticeBar"));
        QVERIFY(bar->isVisible());
        QVERIFY(bar->height() > 0);
        const QString text = ui.find(QStringLiteral("noticeText"))->property("text").toString();
        QVERIFY2(text.startsWith(QStringLiteral("Your conversations could not be read. A copy was kept at ")), qPrintable(text));
        QCOMPARE(ui.find(QStringLiteral("noticeActionButton"))->property("text").toString(), QStringLiteral("Show in folder"));
        ui.saveScreenshot(QStringLiteral("notice-bar"));
        ui.click(QStringLiteral("noticeCloseButton"));
        QTRY_VERIFY(!bar->isVisible());
    }

private:
    QList<ChatSession> m_sessions;
};

QTEST_MAIN(TestContentView)
#include "tst_content_view.moc"
