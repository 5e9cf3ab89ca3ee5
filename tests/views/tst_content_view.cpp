#include "AppModel.h"
#include "DesktopColorScheme.h"
#include "QmlHarness.h"
#include "SidebarRules.h"
#include "TestSupport.h"
#include "conversation/ArchiveStore.h"
#include "conversation/DefaultsStore.h"
#include "conversation/Identifiers.h"
#include "platform/AppPaths.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QQuickItem>
#include <QGuiApplication>
#include <QSignalSpy>
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

        // The hover delete works on a row that is not selected; a chat with messages asks first,
        // and "Don't ask again" is remembered.
        QQuickItem *row = ui.find(rowName(m_sessions.at(0)));
        QTest::mouseMove(ui.window(), row->mapToScene(QPointF(20, row->height() / 2)).toPoint());
        QTRY_COMPARE(content->property("hoveredSessionID").toString(), Identifiers::uuidText(m_sessions.at(0).id));
        QQuickItem *remove = row->findChild<QQuickItem *>(QStringLiteral("deleteSessionButton"));
        QTRY_VERIFY(remove->isVisible());
        ui.click(remove);
        ui.click(QStringLiteral("deleteConfirmDontAsk"));
        ui.click(QStringLiteral("deleteConfirmConfirm"));
        QTRY_COMPARE(state->sessionCount(), 4);
        QCOMPARE(state->activeSessionID().value_or(QUuid()), m_sessions.at(3).id);
        QVERIFY(DefaultsStore().boolean(DefaultsKeys::skipDeleteConfirmation, false));

        // While a turn runs the conversation cannot be switched or replaced.
        state->setIsLoading(true);
        ui.click(rowName(m_sessions.at(1)));
        QCOMPARE(state->activeSessionID().value_or(QUuid()), m_sessions.at(3).id);
        QVERIFY(!ui.find(QStringLiteral("newChatButton"))->isEnabled());
        state->setIsLoading(false);

        // New Chat reuses the stored chat that has no messages rather than making another, and
        // typed text does not follow; once none is left empty, a new one is made.
        for (bool viaShortcut : {false, true}) {
            ui.click(rowName(m_sessions.at(1)));
            ui.typeText(ui.find(QStringLiteral("messageInput")), QStringLiteral("half a thought"));
            if (viaShortcut)
                ui.pressKey(Qt::Key_N, Qt::ControlModifier);
            else
                ui.click(QStringLiteral("newChatButton"));
            QCOMPARE(state->sessionCount(), 4);
            QCOMPARE(state->activeSessionID().value_or(QUuid()), m_sessions.at(2).id);
            QCOMPARE(ui.find(QStringLiteral("messageInput"))->property("text").toString(), QString());
        }
        for (int reused : {4, -1}) {
            state->appendMessage(Message::make(Roles::user, QStringLiteral("now it has one")));
            state->syncActiveSession();
            ui.click(QStringLiteral("newChatButton"));
            QCOMPARE(state->sessionCount(), reused < 0 ? 5 : 4);
            if (reused >= 0)
                QCOMPARE(state->activeSessionID().value_or(QUuid()), m_sessions.at(reused).id);
        }
        QCOMPARE(ui.find(QStringLiteral("chatTitle"))->property("text").toString(), QStringLiteral("New Chat"));

        // Rename from the context menu edits the title in place; Escape keeps the old one.
        ui.click(ui.find(rowName(m_sessions.at(3))), Qt::RightButton);
        ui.click(QStringLiteral("renameMenuItem"));
        QQuickItem *field = ui.find(QStringLiteral("renameField"));
        QTRY_VERIFY(field->hasActiveFocus());
        ui.typeText(field, QStringLiteral("Castle visit"));
        ui.pressKey(Qt::Key_Return);
        QTRY_COMPARE(state->activeSessionTitle(), QStringLiteral("Castle visit"));
        QCOMPARE(ui.find(QStringLiteral("chatTitle"))->property("text").toString(), QStringLiteral("Castle visit"));
    }

    // Everything a keyboard user needs: Tab order in visual order, the sidebar's arrows,
    // Enter and Delete, the shortcuts, and Escape in the settings window.
    void keyboardPaths()
    {
        QmlHarness ui;
        QVERIFY(ui.startMainWindow());
        AgentState *state = ui.app()->agentState();
        QQuickItem *content = ui.find(QStringLiteral("contentView"));
        // The named item that holds the keyboard: a text field's inner editor belongs to the
        // field, the list's current row to the list.
        auto focused = [&] {
            QQuickItem *item = ui.window()->activeFocusItem();
            while (item && (item->objectName().isEmpty() || item->objectName().startsWith(QStringLiteral("sessionRow_"))))
                item = item->parentItem();
            return item ? item->objectName() : QString();
        };

        ui.window()->requestActivate();
        QTRY_VERIFY(ui.window()->isActive());

        // Ctrl+F to the search, then Tab through the sidebar, the toolbar and on to the message
        // box, which passes Tab on rather than typing it.
        ui.pressKey(Qt::Key_F, Qt::ControlModifier);
        QCOMPARE(focused(), QStringLiteral("sessionSearchField"));
        const QStringList order{"sessionList", "sidebarToggle", "newChatButton", "tab_chat", "tab_models",
                                "tab_settings"};
        for (const QString &name : order) {
            ui.pressKey(Qt::Key_Tab);
            QCOMPARE(focused(), name);
            QVERIFY(ui.find(QStringLiteral("contentView"))->window()->activeFocusItem()->isVisible());
        }
        ui.pressKey(Qt::Key_Backtab);
        QCOMPARE(focused(), QStringLiteral("tab_models"));
        ui.pressKey(Qt::Key_L, Qt::ControlModifier);
        QCOMPARE(focused(), QStringLiteral("messageInput"));
        ui.pressKey(Qt::Key_Tab, Qt::ControlModifier);
        QCOMPARE(ui.find(QStringLiteral("messageInput"))->property("text").toString(), QStringLiteral("\t"));
        ui.pressKey(Qt::Key_Tab);
        QVERIFY(focused() != QStringLiteral("messageInput"));
        QCOMPARE(ui.find(QStringLiteral("messageInput"))->property("text").toString(), QStringLiteral("\t"));

        // The sidebar: arrows from the open chat, Enter opens, Delete asks for a chat with
        // messages and deletes an empty one at once.
        ui.pressKey(Qt::Key_F, Qt::ControlModifier);
        ui.pressKey(Qt::Key_Tab);
        QQuickItem *list = ui.find(QStringLiteral("sessionList"));
        const int start = list->property("currentIndex").toInt();
        ui.pressKey(Qt::Key_Down);
        ui.pressKey(Qt::Key_Down);
        QCOMPARE(list->property("currentIndex").toInt(), start + 2);
        const QString chosen = list->property("currentItem").value<QQuickItem *>()->property("sessionId").toString();
        ui.pressKey(Qt::Key_Return);
        QCOMPARE(Identifiers::uuidText(state->activeSessionID().value_or(QUuid())), chosen);
        QCOMPARE(content->property("selectedTab").toString(), QStringLiteral("chat"));
        ui.pressKey(Qt::Key_Up);
        ui.pressKey(Qt::Key_Up);   // "Sorting in C++", which has messages
        ui.pressKey(Qt::Key_Delete);
        QTRY_VERIFY(ui.findObject(QStringLiteral("deleteConfirm"))->property("opened").toBool());
        ui.pressKey(Qt::Key_Escape);
        QTRY_VERIFY(!ui.findObject(QStringLiteral("deleteConfirm"))->property("visible").toBool());
        QCOMPARE(state->sessionCount(), 5);
        list->forceActiveFocus();
        list->setProperty("currentIndex", 4);   // the untitled chat, with no messages
        ui.pressKey(Qt::Key_Delete);
        QTRY_COMPARE(state->sessionCount(), 4);

        // Ctrl+Shift+S hides and shows the sidebar; a narrow window hides it by itself.
        QQuickItem *sidebar = ui.find(QStringLiteral("sidebar"));
        ui.pressKey(Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
        QTRY_VERIFY(!sidebar->isVisible());
        ui.pressKey(Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
        QTRY_VERIFY(sidebar->isVisible());
        ui.window()->resize(760, 520);
        QTRY_VERIFY(!sidebar->isVisible());
        QCOMPARE(ui.window()->minimumSize(), QSize(720, 480));

        // Ctrl+, opens the settings window; Escape and Ctrl+W close it.
        for (Qt::Key closeKey : {Qt::Key_Escape, Qt::Key_W}) {
            ui.pressKey(Qt::Key_Comma, Qt::ControlModifier);
            QQuickWindow *settings = nullptr;
            QTRY_VERIFY((settings = settingsWindow()) && settings->isVisible());
            settings->requestActivate();
            QTRY_VERIFY(settings->isActive());
            QTest::keyClick(settings, closeKey, closeKey == Qt::Key_W ? Qt::ControlModifier : Qt::NoModifier);
            QTRY_VERIFY(!settings->isVisible());
        }

        // Ctrl+Q quits the way the tray's Quit does.
        QSignalSpy quit(ui.engine(), &QQmlEngine::quit);
        ui.pressKey(Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(quit.count(), 1);
    }

    // Each view at the smallest, the default and a large window, light and dark: nothing is cut
    // off, the sidebar hides by itself on a narrow window, messages keep a readable width, and
    // the first-run sheet sits over the content area. The screenshots are for a person to look at.
    void everyViewAtEverySize_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("dark");
        for (const QSize size : {QSize(720, 480), QSize(1100, 720), QSize(1920, 1080)})
            for (const bool dark : {false, true})
                QTest::addRow("%dx%d %s", size.width(), size.height(), dark ? "dark" : "light") << size << dark;
    }

    void everyViewAtEverySize()
    {
        QFETCH(QSize, size);
        QFETCH(bool, dark);
        const QPalette platform = QGuiApplication::palette();
        if (dark)
            QGuiApplication::setPalette(DesktopColorScheme::darkPalette());
        const auto restore = qScopeGuard([&] { QGuiApplication::setPalette(platform); });
        const QString suffix = QStringLiteral("-%1x%2-%3").arg(size.width()).arg(size.height())
                                   .arg(dark ? QStringLiteral("dark") : QStringLiteral("light"));

        QmlHarness ui;
        QVERIFY(ui.startMainWindow());
        ui.window()->resize(size);
        QTRY_COMPARE(ui.window()->size(), size);
        const QRectF window(QPointF(0, 0), size);
        auto inside = [&](const QString &name) {
            QQuickItem *item = ui.find(name);
            return item && window.contains(item->mapRectToScene(item->boundingRect()));
        };
        QTRY_COMPARE(ui.find(QStringLiteral("sidebar"), 0) != nullptr, size.width() >= 900);
        ui.settle(100);
        for (const char *name : {"newChatButton", "tab_settings", "messageInput", "sendButton"})
            QVERIFY2(inside(QString::fromLatin1(name)), name);
        QQuickItem *messages = ui.find(QStringLiteral("messageList"));
        QVERIFY(messages->width() <= 760);
        const QRectF column = messages->mapRectToScene(messages->boundingRect());
        const QQuickItem *chat = ui.find(QStringLiteral("chatView"));
        const QRectF chatArea = chat->mapRectToScene(chat->boundingRect());
        QVERIFY(qAbs(column.center().x() - chatArea.center().x()) <= 1);
        // The views follow the palette: the chat area's background is dark in the dark scheme.
        const QImage frame = ui.window()->grabWindow();
        QCOMPARE(frame.pixelColor(frame.width() - 8, frame.height() / 3).lightness() < 128, dark);
        ui.saveScreenshot(QStringLiteral("chat") + suffix);
        for (const QString tab : {QStringLiteral("models"), QStringLiteral("settings")}) {
            ui.click(QStringLiteral("tab_") + tab);
            ui.settle(150);
            ui.saveScreenshot(tab + suffix);
        }

        ui.app()->agentState()->resetAllData();
        QQuickItem *sheet = nullptr;
        QTRY_VERIFY((sheet = ui.find(QStringLiteral("onboardingLoader"), 0)) && sheet->isVisible());
        ui.settle(300);
        const QRectF sheetRect = sheet->mapRectToScene(sheet->boundingRect());
        QVERIFY(window.contains(sheetRect));
        QVERIFY2(sheetRect.left() >= chatArea.left(), qPrintable(QStringLiteral("%1 %2").arg(sheetRect.left()).arg(chatArea.left())));
        QTRY_VERIFY(ui.window()->activeFocusItem() == ui.find(QStringLiteral("nameField")));
        ui.saveScreenshot(QStringLiteral("onboarding") + suffix);
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
    static QQuickWindow *settingsWindow()
    {
        for (QWindow *window : QGuiApplication::topLevelWindows())
            if (window->title() == QLatin1String("Settings"))
                return qobject_cast<QQuickWindow *>(window);
        return nullptr;
    }

    QList<ChatSession> m_sessions;
};

QTEST_MAIN(TestContentView)
#include "tst_content_view.moc"
