#include "AppModel.h"
#include "DesktopColorScheme.h"
#include "QmlHarness.h"
#include "SidebarRules.h"
#include "TestSupport.h"
#include "conversation/ArchiveStore.h"
#include "conversation/DefaultsStore.h"
#include "conversation/Identifiers.h"
#include "platform/AppPaths.h"

#include <QGuiApplication>
#include <QQuickItem>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
// A fixed "now" for the rows' dates: Monday 16 March 2026, 18:00 local time.
const QDateTime now(QDate(2026, 3, 16), QTime(18, 0));
// A title whose first character takes two UTF-16 units: its badge must show it whole.
const QString groceries = u"\U0001F6D2 groceries"_s;

ChatSession stored(const QString &title, const QDateTime &updatedAt, bool pinned, const QString &content = {})
{
    ChatSession session = ChatSession::make();
    session.title = title;
    session.updatedAt = updatedAt;
    session.isPinned = pinned;
    if (!content.isEmpty())
        session.messages = {Message::make(Roles::user, content)};
    return session;
}

QString rowName(const ChatSession &session) { return u"sessionRow_"_s + Identifiers::uuidText(session.id); }
QString text(QQuickItem *item) { return item ? item->property("text").toString() : u"<missing>"_s; }
QString text(QmlHarness &ui, const QString &name) { return text(ui.find(name)); }
QUuid active(AgentState *state) { return state->activeSessionID().value_or(QUuid()); }
QRectF onScreen(QQuickItem *item) { return item->mapRectToScene(item->boundingRect()); }

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

QQuickWindow *settingsWindow()
{
    for (QWindow *window : QGuiApplication::topLevelWindows())
        if (window->title() == QLatin1String("Settings"))
            return qobject_cast<QQuickWindow *>(window);
    return nullptr;
}
} // namespace

class TestContentView : public QObject
{
    Q_OBJECT

    QList<ChatSession> m_sessions;

private slots:
    void initTestCase() { SidebarRules::setClock([] { return now; }); }

    void init()
    {
        TestSupport::resetUserData();
        DefaultsStore().setValue(DefaultsKeys::onboardingComplete, true);
        m_sessions = {stored(u"Sorting in C++"_s, now.addSecs(-2 * 3600), false, u"How do I sort a vector?"_s),
                      stored(u"Trip to Lisbon"_s, now.addDays(-1), true, u"Plan a weekend in Lisbon"_s),
                      stored(groceries, now.addSecs(-30 * 3600 - 19 * 3600), false),
                      stored(u"Old notes"_s, now.addDays(-8), false, u"the castle closes at six"_s),
                      stored(QString(), now.addDays(-20), false)};
        ArchiveStore(AppPaths::chatArchivePath()).save(m_sessions);
    }

    void sidebarOrderSearchAndDates()
    {
        QmlHarness ui;
        QVERIFY(ui.startMainWindow());
        QCOMPARE(ui.window()->title(), u"Morlo AI"_s);
        QQuickItem *list = ui.find(u"sessionList"_s);
        QTRY_COMPARE(drawnTitles(list), (QStringList{"Trip to Lisbon", "Sorting in C++", groceries, "Old notes", ""}));
        const QLocale locale = QLocale::system();
        const QStringList dates{SidebarRules::relativeDate(now.addSecs(-2 * 3600), now, locale), u"Yesterday"_s,
                                locale.dayName(6, QLocale::LongFormat), locale.toString(QDate(2026, 3, 8), u"MMM d"_s),
                                locale.toString(QDate(2026, 2, 24), u"MMM d"_s)};
        const QStringList badges{"S", "T", groceries.left(2), "O", ""};
        for (int i = 0; i < m_sessions.size(); ++i) {
            QQuickItem *row = ui.find(rowName(m_sessions.at(i)));
            QVERIFY(row);
            QCOMPARE(text(row->findChild<QQuickItem *>(u"relativeDate"_s)), dates.at(i));
            QCOMPARE(text(row->findChild<QQuickItem *>(u"badge"_s)->childItems().first()), badges.at(i));
        }
        // Messages keep a readable width, centred in the chat area.
        QQuickItem *messages = ui.find(u"messageList"_s);
        QVERIFY(messages->width() <= 760);
        QVERIFY(qAbs(onScreen(messages).center().x() - onScreen(ui.find(u"chatView"_s)).center().x()) <= 1);

        // A word found only inside a message; clearing shows all again.
        ui.typeText(ui.find(u"sessionSearchField"_s), u"castle"_s);
        QTRY_COMPARE(drawnTitles(list), QStringList{"Old notes"});
        ui.click(u"clearSessionSearchButton"_s);
        QTRY_COMPARE(list->property("count").toInt(), 5);
        ui.saveScreenshot(u"main-window-sidebar"_s);
    }

    void selectionPinAndDelete()
    {
        QmlHarness ui;
        QVERIFY(ui.startMainWindow());
        AgentState *state = ui.app()->agentState();
        QQuickItem *content = ui.find(u"contentView"_s);
        QQuickItem *list = ui.find(u"sessionList"_s);

        // Choosing a row from the Models tab switches back to Chat and shows its messages.
        ui.click(u"tab_models"_s);
        QCOMPARE(content->property("selectedTab").toString(), u"models"_s);
        ui.click(rowName(m_sessions.at(3)));
        QCOMPARE(active(state), m_sessions.at(3).id);
        QCOMPARE(content->property("selectedTab").toString(), u"chat"_s);
        QTRY_COMPARE(ui.find(u"messageList"_s)->property("count").toInt(), 1);

        // Pinning from the context menu moves a row to the top group; the others keep their
        // order. The menu shows the pinned row's state the next time; a right click never opens
        // the conversation (checked below: the active one stays).
        ui.click(ui.find(rowName(m_sessions.at(2))), Qt::RightButton);
        QTRY_COMPARE(text(ui, u"pinMenuItem"_s), u"Pin"_s);
        ui.click(u"pinMenuItem"_s);
        QTRY_COMPARE(drawnTitles(list), (QStringList{"Trip to Lisbon", groceries, "Sorting in C++", "Old notes", ""}));
        QTRY_VERIFY(!ui.findObject(u"sessionContextMenu"_s)->property("visible").toBool());
        ui.click(ui.find(rowName(m_sessions.at(2))), Qt::RightButton);
        QTRY_COMPARE(text(ui, u"pinMenuItem"_s), u"Unpin"_s);
        QTest::keyClick(ui.window(), Qt::Key_Escape);
        QTRY_VERIFY(!ui.findObject(u"sessionContextMenu"_s)->property("visible").toBool());

        // The hover delete works on a row that is not selected; a chat with messages asks first,
        // and "Don't ask again" is remembered.
        QQuickItem *row = ui.find(rowName(m_sessions.at(0)));
        QTest::mouseMove(ui.window(), row->mapToScene(QPointF(20, row->height() / 2)).toPoint());
        QTRY_COMPARE(content->property("hoveredSessionID").toString(), Identifiers::uuidText(m_sessions.at(0).id));
        QQuickItem *remove = row->findChild<QQuickItem *>(u"deleteSessionButton"_s);
        QTRY_VERIFY(remove->isVisible());
        ui.click(remove);
        ui.click(u"deleteConfirmDontAsk"_s);
        ui.click(u"deleteConfirmConfirm"_s);
        QTRY_COMPARE(state->sessionCount(), 4);
        QCOMPARE(active(state), m_sessions.at(3).id);
        QVERIFY(DefaultsStore().boolean(DefaultsKeys::skipDeleteConfirmation, false));

        // While a turn runs the conversation cannot be switched or replaced.
        state->setIsLoading(true);
        ui.click(rowName(m_sessions.at(1)));
        QCOMPARE(active(state), m_sessions.at(3).id);
        QVERIFY(!ui.find(u"newChatButton"_s)->isEnabled());
        state->setIsLoading(false);

        // New Chat (button or Ctrl+N) reuses the stored chat that has no messages rather than
        // making another, and typed text does not follow; once none is left empty, one is made.
        for (bool viaShortcut : {false, true}) {
            ui.click(rowName(m_sessions.at(1)));
            ui.typeText(ui.find(u"messageInput"_s), u"half a thought"_s);
            if (viaShortcut)
                ui.pressKey(Qt::Key_N, Qt::ControlModifier);
            else
                ui.click(u"newChatButton"_s);
            QCOMPARE(state->sessionCount(), 4);
            QCOMPARE(active(state), m_sessions.at(2).id);
            QCOMPARE(text(ui, u"messageInput"_s), QString());
        }
        for (int reused : {4, -1}) {
            state->appendMessage(Message::make(Roles::user, u"now it has one"_s));
            state->syncActiveSession();
            ui.click(u"newChatButton"_s);
            QCOMPARE(state->sessionCount(), reused < 0 ? 5 : 4);
            if (reused >= 0)
                QCOMPARE(active(state), m_sessions.at(reused).id);
        }
        QCOMPARE(text(ui, u"chatTitle"_s), u"New Chat"_s);
        QVERIFY(ui.find(u"emptyTitle"_s));

        // Rename from the context menu edits the title in place.
        ui.click(ui.find(rowName(m_sessions.at(3))), Qt::RightButton);
        ui.click(u"renameMenuItem"_s);
        QQuickItem *field = ui.find(u"renameField"_s);
        QTRY_VERIFY(field->hasActiveFocus());
        ui.typeText(field, u"Castle visit"_s);
        ui.pressKey(Qt::Key_Return);
        QTRY_COMPARE(state->activeSessionTitle(), u"Castle visit"_s);
        QCOMPARE(text(ui, u"chatTitle"_s), u"Castle visit"_s);
    }

    // Everything a keyboard user needs: Tab order in visual order, the sidebar's arrows,
    // Enter and Delete, the shortcuts, and Escape in the settings window.
    void keyboardPaths()
    {
        QmlHarness ui;
        QVERIFY(ui.startMainWindow());
        AgentState *state = ui.app()->agentState();
        // The named item that holds the keyboard: a text field's inner editor belongs to the
        // field, the list's current row to the list.
        auto focused = [&] {
            QQuickItem *item = ui.window()->activeFocusItem();
            while (item && (item->objectName().isEmpty() || item->objectName().startsWith(u"sessionRow_"_s)))
                item = item->parentItem();
            return item ? item->objectName() : QString();
        };
        ui.window()->requestActivate();
        QTRY_VERIFY(ui.window()->isActive());

        // Ctrl+F to the search, then Tab through the sidebar, the toolbar and on to the message
        // box, which passes Tab on rather than typing it.
        ui.pressKey(Qt::Key_F, Qt::ControlModifier);
        QCOMPARE(focused(), u"sessionSearchField"_s);
        for (const char *name : {"sessionList", "sidebarToggle", "newChatButton", "tab_chat", "tab_models", "tab_settings"}) {
            ui.pressKey(Qt::Key_Tab);
            QCOMPARE(focused(), QString::fromLatin1(name));
            QVERIFY(ui.window()->activeFocusItem()->isVisible());
        }
        ui.pressKey(Qt::Key_Backtab);
        QCOMPARE(focused(), u"tab_models"_s);
        ui.pressKey(Qt::Key_L, Qt::ControlModifier);
        QCOMPARE(focused(), u"messageInput"_s);
        ui.pressKey(Qt::Key_Tab, Qt::ControlModifier);
        QCOMPARE(text(ui, u"messageInput"_s), u"\t"_s);
        ui.pressKey(Qt::Key_Tab);
        QVERIFY(focused() != u"messageInput"_s);
        QCOMPARE(text(ui, u"messageInput"_s), u"\t"_s);

        // The sidebar: arrows from the open chat, Enter opens, Delete asks for a chat with
        // messages and deletes an empty one at once.
        ui.pressKey(Qt::Key_F, Qt::ControlModifier);
        ui.pressKey(Qt::Key_Tab);
        QQuickItem *list = ui.find(u"sessionList"_s);
        const int start = list->property("currentIndex").toInt();
        ui.pressKey(Qt::Key_Down);
        ui.pressKey(Qt::Key_Down);
        QCOMPARE(list->property("currentIndex").toInt(), start + 2);
        const QString chosen = list->property("currentItem").value<QQuickItem *>()->property("sessionId").toString();
        ui.pressKey(Qt::Key_Return);
        QCOMPARE(Identifiers::uuidText(active(state)), chosen);
        QCOMPARE(ui.find(u"contentView"_s)->property("selectedTab").toString(), u"chat"_s);
        ui.pressKey(Qt::Key_Up);
        ui.pressKey(Qt::Key_Up);  // "Sorting in C++", which has messages
        ui.pressKey(Qt::Key_Delete);
        QTRY_VERIFY(ui.findObject(u"deleteConfirm"_s)->property("opened").toBool());
        ui.pressKey(Qt::Key_Escape);
        QTRY_VERIFY(!ui.findObject(u"deleteConfirm"_s)->property("visible").toBool());
        QCOMPARE(state->sessionCount(), 5);
        list->forceActiveFocus();
        list->setProperty("currentIndex", 4);  // the untitled chat, with no messages
        ui.pressKey(Qt::Key_Delete);
        QTRY_COMPARE(state->sessionCount(), 4);

        // Ctrl+Shift+S hides and shows the sidebar; a narrow window hides it by itself.
        QQuickItem *sidebar = ui.find(u"sidebar"_s);
        ui.pressKey(Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
        QTRY_VERIFY(!sidebar->isVisible());
        ui.pressKey(Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
        QTRY_VERIFY(sidebar->isVisible());
        QCOMPARE(ui.window()->minimumSize(), QSize(720, 480));
        ui.window()->resize(720, 480);
        QTRY_VERIFY(!sidebar->isVisible());

        // Ctrl+, opens the settings window at its fixed size; Escape and Ctrl+W close it, and
        // the same window comes back.
        QQuickWindow *first = nullptr;
        for (Qt::Key closeKey : {Qt::Key_Escape, Qt::Key_W}) {
            ui.pressKey(Qt::Key_Comma, Qt::ControlModifier);
            QQuickWindow *settings = nullptr;
            QTRY_VERIFY((settings = settingsWindow()) && settings->isVisible());
            QCOMPARE(settings->size(), QSize(540, 540));
            if (!first) {
                first = settings;
                ui.settle(200);
                QVERIFY(settings->grabWindow().save(TestSupport::screenshotDirectory() + u"/settings-window.png"_s));
            }
            QCOMPARE(settings, first);
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

    // Every view at the smallest, the default and a large window, light and dark: the controls
    // stay inside the window and the sidebar hides by itself when narrow. The pictures under
    // build/screenshots are for a person to look at.
    void everyViewAtEverySize()
    {
        const QPalette platform = QGuiApplication::palette();
        const auto restore = qScopeGuard([&] { QGuiApplication::setPalette(platform); });
        const QList<QSize> sizes{{720, 480}, {1100, 720}, {1920, 1080}};
        for (const bool dark : {false, true}) {
            init();
            QGuiApplication::setPalette(dark ? DesktopColorScheme::darkPalette() : platform);
            QmlHarness ui;
            QVERIFY(ui.startMainWindow());
            const auto show = [&](const QSize &size, const QStringList &views) {
                ui.window()->resize(size);
                QTRY_COMPARE(ui.window()->size(), size);
                for (const QString &view : views) {
                    if (view != u"onboarding"_s)
                        ui.click(u"tab_"_s + view);
                    ui.settle(150);
                    ui.saveScreenshot(u"%1-%2x%3-%4"_s.arg(view).arg(size.width()).arg(size.height())
                                          .arg(dark ? u"dark"_s : u"light"_s));
                }
            };
            for (const QSize &size : sizes) {
                show(size, {u"models"_s, u"settings"_s, u"chat"_s});
                // The views follow the scheme: the chat area is dark in the dark one.
                const QImage frame = ui.window()->grabWindow();
                QCOMPARE(frame.pixelColor(frame.width() - 8, frame.height() / 2).lightness() < 128, dark);
                QTRY_COMPARE(ui.find(u"sidebar"_s, 0) != nullptr, size.width() >= 900);
                for (const char *name : {"tab_settings", "messageInput", "sendButton"})
                    QVERIFY2(QRectF(QPointF(0, 0), size).contains(onScreen(ui.find(QString::fromLatin1(name)))), name);
            }
            ui.app()->agentState()->resetAllData();
            for (const QSize &size : sizes)
                show(size, {u"onboarding"_s});
        }
    }

    // The first start offers the onboarding sheet over the content area with the name field
    // ready; erasing everything from the settings page offers it again over the chat tab.
    void onboardingSheet()
    {
        DefaultsStore().remove(DefaultsKeys::onboardingComplete);
        QmlHarness ui;
        QVERIFY(ui.startMainWindow());
        QQuickItem *content = ui.find(u"contentView"_s);
        QVERIFY(content->property("showOnboarding").toBool());
        QQuickItem *sheet = ui.find(u"onboardingLoader"_s);
        QTRY_VERIFY(sheet->isVisible());
        ui.settle(300);
        QVERIFY(QRectF(QPointF(0, 0), ui.window()->size()).contains(onScreen(sheet)));
        QVERIFY(onScreen(sheet).left() >= onScreen(ui.find(u"chatView"_s)).left());
        QTRY_VERIFY(ui.window()->activeFocusItem() == ui.find(u"nameField"_s));
        ui.saveScreenshot(u"onboarding"_s);
        content->setProperty("selectedTab", u"settings"_s);
        ui.app()->agentState()->resetAllData();
        QTRY_COMPARE(content->property("selectedTab").toString(), u"chat"_s);
        QVERIFY(content->property("showOnboarding").toBool());
    }

    // The store's events reach the user: an unreadable archive is named with its copy.
    void noticeBarShowsWhatTheStoreReports()
    {
        QFile archive(AppPaths::chatArchivePath());
        QVERIFY(archive.open(QIODevice::WriteOnly));
        archive.write("[{\"id\":");
        archive.close();
        QmlHarness ui;
        QVERIFY(ui.startMainWindow());
        QQuickItem *bar = ui.find(u"noticeBar"_s);
        QVERIFY(bar->isVisible() && bar->height() > 0);
        QVERIFY2(text(ui, u"noticeText"_s).startsWith(u"Your conversations could not be read. A copy was kept at "_s),
                 qPrintable(text(ui, u"noticeText"_s)));
        QCOMPARE(text(ui, u"noticeActionButton"_s), u"Show in folder"_s);
        ui.saveScreenshot(u"notice-bar"_s);
        ui.click(u"noticeCloseButton"_s);
        QTRY_VERIFY(!bar->isVisible());
    }
};

QTEST_MAIN(TestContentView)
#include "tst_content_view.moc"
