#include "ChatDoubles.h"
#include "QmlHarness.h"
#include "TestSupport.h"
#include "conversation/ArchiveStore.h"
#include "conversation/Identifiers.h"
#include "conversation/MessageListModel.h"
#include "tools/ToolCallResolver.h"

#include <QDir>

#include <QMimeData>
#include <QQuickItem>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <qcorotask.h>

namespace {
// The real chat view over a real AgentState, with doubles for the two managers; torn down in
// reverse order, the window first.
struct ChatFixture
{
    explicit ChatFixture(const QString &archivePath) : archive(archivePath) { state.clearAllChats(); }

    ArchiveStore archive;
    AgentState state{&archive, nullptr};
    MessageListModel messages{&state};
    FakeAgentManager agent{&state};
    FakeServerManager server;
    QmlHarness ui;
};
} // namespace

class TestChatView : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<ChatFixture> m_chat;

    QmlHarness &ui() { return m_chat->ui; }
    AgentState &state() { return m_chat->state; }
    FakeAgentManager &agent() { return m_chat->agent; }

    QString text(const QString &objectName)
    {
        QQuickItem *item = ui().find(objectName);
        return item ? item->property("text").toString() : QStringLiteral("<missing %1>").arg(objectName);
    }

    bool shown(const QString &objectName) { return ui().find(objectName, 300) != nullptr; }
    QString lastId() { return Identifiers::uuidText(state().messages().constLast().id); }
    void type(const QString &text) { ui().typeText(ui().find(QStringLiteral("messageInput")), text); }

    void typeAndSend(const QString &message)
    {
        type(message);
        ui().pressKey(Qt::Key_Return);
    }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_chat = std::make_unique<ChatFixture>(m_dir.filePath(QStringLiteral("chats.json")));
        QVERIFY(ui().startView(QStringLiteral("ChatView.qml"),
                               {{QStringLiteral("agentState"), QVariant::fromValue<QObject *>(&state())},
                                {QStringLiteral("agentManager"), QVariant::fromValue<QObject *>(&agent())},
                                {QStringLiteral("serverManager"), QVariant::fromValue<QObject *>(&m_chat->server)},
                                {QStringLiteral("messages"), QVariant::fromValue<QObject *>(&m_chat->messages)}},
                               QSize(820, 640)));
    }

    void cleanup() { m_chat.reset(); }

    void emptyStateFollowsTheEngine()
    {
        QCOMPARE(text("emptySubtitle"), QStringLiteral("Your intelligent Linux assistant"));
        QVERIFY(shown("suggestion_3"));
        QCOMPARE(text("modelButtonLabel"), QStringLiteral("Llama 3.2 3B Q4_K_M"));
        ui().saveScreenshot("chat_empty_state");

        m_chat->server.set(false, true, QStringLiteral("Loading model…"));
        QCOMPARE(text("engineStatusText"), QStringLiteral("Loading model…"));
        QCOMPARE(text("emptyStatusText"), QStringLiteral("Loading model…"));
        QCOMPARE(text("modelButtonLabel"), QStringLiteral("Loading…"));

        m_chat->server.set(false, false);
        QVERIFY(shown("browseModelsButton"));
        QVERIFY(!shown("suggestion_0"));
        QCOMPARE(text("modelButtonLabel"), QStringLiteral("Select Model"));

        // Without an engine nothing is sent: the banner says why and the text stays.
        typeAndSend("hello");
        QVERIFY(agent().sent.isEmpty());
        QCOMPARE(text("noModelBannerText"), QStringLiteral("No model loaded — click the model button to load one"));
        QCOMPARE(text("messageInput"), QStringLiteral("hello"));

        QCOMPARE(text("emptyEngineNotice"), QStringLiteral("Load a model to get started"));

        // A failed load says so and points to the Models tab, where its log is.
        m_chat->server.failureNotice = QStringLiteral("Loading Llama 3.2 3B Instruct Q4_K_M failed — see Models");
        m_chat->server.set(false, false);
        QCOMPARE(text("emptyEngineNotice"), m_chat->server.failureNotice);
        QVERIFY(shown("browseModelsButton"));
        ui().saveScreenshot("chat_load_failed");

        // An engine that stopped by itself: the model button loads its model again.
        m_chat->server.failureNotice = QStringLiteral("Engine stopped unexpectedly — see Models");
        m_chat->server.stoppedUnexpectedly = true;
        m_chat->server.set(false, false, QString(), QStringLiteral("Llama 3.2 3B Instruct Q4_K_M"));
        QCOMPARE(text("emptyEngineNotice"), m_chat->server.failureNotice);
        QCOMPARE(text("modelButtonLabel"), QStringLiteral("Load Llama 3.2 3B Q4_K_M again"));
        ui().click(QStringLiteral("modelButton"));
        QCOMPARE(m_chat->server.reloads, 1);
        ui().saveScreenshot("chat_engine_stopped");

        // Only tool results: still the empty state.
        state().appendMessage(Message::make(Roles::toolResult, QStringLiteral("ok")));
        QVERIFY(shown("emptyTitle"));
    }

    void sendsStreamsAndStops()
    {
        agent().fragments = {QStringLiteral("## Plan\n\nUse **bold** and `code`:\n"), QStringLiteral("- one\n- two\n\n```python\n"),
                             QStringLiteral("print('hi')\n```\nDone.")};
        typeAndSend("   ");
        QVERIFY(agent().sent.isEmpty());

        // Shift+Return breaks the line instead of sending.
        type("Show");
        ui().pressKey(Qt::Key_Return, Qt::ShiftModifier);
        typeAndSend("me");
        QCOMPARE(agent().sent, QStringList{QStringLiteral("Show\nme")});
        QCOMPARE(text("messageInput"), QString());
        QTRY_VERIFY(!state().isLoading());
        QCOMPARE(text("codeText"), QStringLiteral("print('hi')"));
        QCOMPARE(text("codeLanguage"), QStringLiteral("python"));
        QCOMPARE(text("markdownHeading"), QStringLiteral("Plan"));
        ui().saveScreenshot("chat_streamed_markdown_reply");

        // A turn that never ends: the typing indicator shows, stop ends it.
        agent().fragments.clear();
        typeAndSend("again");
        QVERIFY(shown("typingIndicator"));
        ui().click("stopButton");
        QCOMPARE(agent().cancelled, 1);
        QVERIFY(shown("sendButton"));
    }

    void editsAndRetries()
    {
        state().appendMessage(Message::make(Roles::user, QStringLiteral("first question")));
        state().appendMessage(Message::make(Roles::assistant, QStringLiteral("Error: engine went away")));
        const QString errorId = lastId();

        // An error reply offers Retry without hovering.
        QVERIFY(shown(QStringLiteral("retryButton_") + errorId));
        agent().fragments = {QStringLiteral("Fine now.")};
        ui().click(QStringLiteral("retryButton_") + errorId);
        QCOMPARE(agent().sent, QStringList{QStringLiteral("first question")});
        QTRY_VERIFY(!state().isLoading());
        QCOMPARE(state().messageCount(), 2);
        QCOMPARE(state().messages().constLast().content, QStringLiteral("Fine now."));

        // Editing the first message empties the list and puts its text in the box.
        const QString resentId = Identifiers::uuidText(state().messages().constFirst().id);
        QQuickItem *bubble = ui().find(QStringLiteral("userText"));
        QVERIFY(bubble);
        QTest::mouseMove(ui().window(), bubble->mapToScene(QPointF(bubble->width() / 2, bubble->height() / 2)).toPoint());
        ui().click(QStringLiteral("editButton_") + resentId);
        QCOMPARE(state().messageCount(), 0);
        QCOMPARE(text("messageInput"), QStringLiteral("first question"));

        // An error reply with no question before it has nothing to retry.
        state().appendMessage(Message::make(Roles::assistant, QStringLiteral("Error: engine went away")));
        ui().click(QStringLiteral("retryButton_") + lastId());
        QCOMPARE(agent().sent.size(), 1);
        QCOMPARE(state().messageCount(), 1);
    }

    void drawsHostileReplies_data()
    {
        QTest::addColumn<QString>("content");
        QTest::newRow("unclosed fence") << QStringLiteral("Look:\n```js\nwhile (true) {");
        QTest::newRow("1 MB single line") << QStringLiteral("**word** ").repeated(1024 * 1024 / 9);
        QTest::newRow("deep nesting") << QStringLiteral("> ").repeated(5000) + QStringLiteral("*_").repeated(5000);
        QTest::newRow("control characters") << QStringLiteral("a\u0000b\u0007c\u001b[31mred\u202e\r\r\n");
        QTest::newRow("right to left") << QStringLiteral("שלום עולם — مرحبا بالعالم\n- פריט");
        QTest::newRow("emoji sequences") << QStringLiteral("👩‍👩‍👧‍👦🏳️‍🌈👍🏽 ").repeated(500);
        QTest::newRow("gigantic data url") << QStringLiteral("data:image/png;base64,") + QString(8 * 1024 * 1024, QLatin1Char('A'));
        QTest::newRow("malformed data url") << QStringLiteral("data:image/jpeg;base64,%%%not base64");
    }

    void drawsHostileReplies()
    {
        QFETCH(QString, content);
        state().appendMessage(Message::make(Roles::user, QStringLiteral("go")));
        state().appendMessage(Message::make(Roles::assistant, content));
        QVERIFY(ui().find(QStringLiteral("bubble_") + lastId(), 20000));
        // The window still answers: typing reaches the input box.
        type("ok");
        QCOMPARE(text("messageInput"), QStringLiteral("ok"));
    }

    void dropsFiles()
    {
        QMimeData data;
        for (const auto &[name, bytes] : {std::pair{"notes.MD", QByteArray("# Notes\n")},
                                          std::pair{"photo.bin", QByteArray("\x00\xff\x10", 3)}}) {
            QFile file(m_dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(bytes);
            data.setUrls(data.urls() << QUrl::fromLocalFile(file.fileName()));
        }
        type("Look");
        QQuickItem *area = ui().find(QStringLiteral("fileDropArea"));
        const QPoint at = area->mapToScene(QPointF(area->width() / 2, area->height() / 2)).toPoint();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(ui().window(), &enter);
        QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(ui().window(), &move);
        QVERIFY(shown("dropOverlay"));
        QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(ui().window(), &drop);
        ui().settle();
        // Text files come inline in a fence, others by name; nothing is sent.
        QCOMPARE(text("messageInput"), QStringLiteral("Look\nContents of notes.MD:\n```\n# Notes\n\n``` photo.bin"));
        QVERIFY(!shown("dropOverlay"));
        QVERIFY(agent().sent.isEmpty());
    }

    // The card shows every value whole: a long path wraps inside its box with nothing cut off,
    // long content scrolls under its size line, and Approve is offered once all is laid out.
    // Closing the card without a choice is a denial, so a waiting turn never hangs.
    void approvalCardShowsValuesWhole_data()
    {
        QTest::addColumn<bool>("approve");
        QTest::newRow("approved") << true;
        QTest::newRow("dismissed") << false;
    }

    void approvalCardShowsValuesWhole()
    {
        QFETCH(bool, approve);
        QStringList lines;
        for (int i = 1; i <= 40; ++i)
            lines << QStringLiteral("Line %1 of the notes").arg(i);
        const QString path = QStringLiteral("~/Documents/") + QString(120, QLatin1Char('a')) + QStringLiteral("/")
            + QString(100, QLatin1Char('b')) + QStringLiteral("/../notes.txt");
        const ToolCall call = ToolCall::make(QStringLiteral("write_file"),
                                             {{QStringLiteral("path"), path}, {QStringLiteral("content"), lines.join('\n')}});
        const ResolvedAction action = ToolCallResolver::resolve(call);
        const QString resolved = action.argument(QStringLiteral("path"))->value;
        QCOMPARE(resolved, QDir::homePath() + QStringLiteral("/Documents/") + QString(120, QLatin1Char('a')) + QStringLiteral("/notes.txt"));

        ui().window()->resize(820, 900);
        std::optional<bool> result;
        auto wait = [&]() -> QCoro::Task<> { result = co_await state().requestApproval(call, action.card()); };
        auto task = wait();
        QVERIFY(shown("approvalView"));
        QCOMPARE(text("approvalTitle"), QStringLiteral("Action Requires Approval"));
        QCOMPARE(text("approvalRowLabel_2"), QStringLiteral("Path"));
        QCOMPARE(ui().find(QStringLiteral("approvalRowIcon_2"))->property("symbol").toString(), QStringLiteral("folder"));
        QCOMPARE(text("approvalRowValue_2"), resolved);
        QCOMPARE(text("approvalRowSize_2"), QStringLiteral("%1 characters, 1 line").arg(resolved.size()));
        QCOMPARE(text("approvalRowSize_1"), QStringLiteral("%1 characters, 40 lines").arg(lines.join('\n').size()));
        QCOMPARE(text("approvalNoteText_0"), QStringLiteral("Creates a new file"));
        QTRY_VERIFY(ui().find(QStringLiteral("approveButton"))->isEnabled());

        // The path is whole on screen: its box is as tall as the wrapped text and the card fits
        // the window. The content is longer than its box, so that box scrolls.
        QQuickItem *pathBox = ui().find(QStringLiteral("approvalRowBox_2"));
        QVERIFY(pathBox->height() >= pathBox->property("contentHeight").toReal());
        QVERIFY(ui().find(QStringLiteral("approvalRowValue_2"))->property("lineCount").toInt() > 3);
        QQuickItem *contentBox = ui().find(QStringLiteral("approvalRowBox_1"));
        QVERIFY(contentBox->height() < contentBox->property("contentHeight").toReal());
        QVERIFY(ui().find(QStringLiteral("approvalRowScroll_1"))->isVisible());
        QQuickItem *view = ui().find(QStringLiteral("approvalView"));
        const QRectF onScreen = view->mapRectToScene(QRectF(0, 0, view->width(), view->height()));
        QVERIFY2(QRectF(QPointF(0, 0), ui().window()->size()).contains(onScreen), qPrintable(QStringLiteral("card at %1,%2 %3x%4").arg(onScreen.x()).arg(onScreen.y()).arg(onScreen.width()).arg(onScreen.height())));
        ui().saveScreenshot(QStringLiteral("chat_approval_card_long_path"));

        if (approve)
            ui().click(QStringLiteral("approveButton"));
        else
            ui().pressKey(Qt::Key_Escape);
        QTRY_COMPARE(result, std::optional<bool>(approve));
        QVERIFY(!state().hasPendingApproval());
        QTRY_VERIFY(!shown("approvalView"));
    }

    // Each handled call leaves a row with the batch's results, drawn again after a reload: what
    // was done and what the model was told, a denial as "Denied"; a click opens the whole result.
    void activityRowsSurviveReload()
    {
        ToolCall read = ToolCall::make(QStringLiteral("get_clipboard"), {});
        read.status = ToolStatus::completed;
        read.result = QStringLiteral("hunter2\nsecond line");
        ToolCall write = ToolCall::make(QStringLiteral("write_file"), {{QStringLiteral("path"), QDir::homePath() + QStringLiteral("/notes.txt")}});
        write.status = ToolStatus::denied;
        write.result = QStringLiteral("Denied by user");
        ToolCall old = ToolCall::make(QStringLiteral("open_app"), {{QStringLiteral("app_name"), QStringLiteral("Files")}});
        state().appendMessage(Message::make(Roles::user, QStringLiteral("go")));
        state().appendMessage(Message::make(Roles::toolResult, QStringLiteral("Tool results:\n…"), QList<ToolCall>{read, write, old}));
        state().syncActiveSession();
        // Reopened from the stored archive.
        const QUuid session = *state().activeSessionID();
        state().flush();
        state().load();
        state().newSession();
        state().selectSession(session);
        QCOMPARE(state().messageCount(), 2);
        QCOMPARE(state().messages().constLast().toolCalls->size(), 3);

        QQuickItem *first = ui().find(QStringLiteral("activityRow_0"));
        QVERIFY(first);
        const auto inRow = [&](QQuickItem *row, const char *name) {
            for (QQuickItem *item : row->findChildren<QQuickItem *>(QLatin1String(name)))
                return item;
            return static_cast<QQuickItem *>(nullptr);
        };
        QCOMPARE(inRow(first, "activityAction")->property("text").toString(), QStringLiteral("Read the clipboard"));
        QCOMPARE(inRow(first, "activitySummary")->property("text").toString(), QStringLiteral("hunter2"));
        QQuickItem *second = ui().find(QStringLiteral("activityRow_1"));
        QCOMPARE(inRow(second, "activityAction")->property("text").toString(), QStringLiteral("Write File ~/notes.txt"));
        QCOMPARE(inRow(second, "activitySummary")->property("text").toString(), QStringLiteral("Denied"));
        QVERIFY(!ui().find(QStringLiteral("activityRow_2"), 200)); // never handled: no row
        ui().click(first);
        QTRY_VERIFY(inRow(first, "activityResult")->isVisible());
        QCOMPARE(inRow(first, "activityResult")->property("text").toString(), *read.result);
        ui().saveScreenshot(QStringLiteral("chat_activity_rows"));
    }

    void renamesTheSession()
    {
        ui().click("sessionSettingsButton");
        QQuickItem *field = ui().find(QStringLiteral("sessionTitleField"));
        QVERIFY(field);
        QCOMPARE(field->property("text").toString(), QStringLiteral("New Chat"));
        field->setProperty("text", QString());
        ui().typeText(field, QStringLiteral("Trip plans"));
        ui().typeText(ui().find(QStringLiteral("sessionPromptField")), QStringLiteral("Answer in French."));
        ui().click("sessionSettingsSave");
        QCOMPARE(state().activeSessionTitle(), QStringLiteral("Trip plans"));
        QCOMPARE(state().activeSession()->systemPromptOverride, std::optional<QString>(QStringLiteral("Answer in French.")));
        QVERIFY(!shown("sessionSettingsSheet"));
    }
};

QTEST_MAIN(TestChatView)
#include "tst_chat_view.moc"
