#include "ChatDoubles.h"
#include "QmlHarness.h"
#include "conversation/ArchiveStore.h"
#include "conversation/Identifiers.h"
#include "conversation/MessageListModel.h"

#include <QMimeData>
#include <QQuickItem>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace Qt::StringLiterals;

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
    FakeServerManager &server() { return m_chat->server; }

    QString text(const QString &objectName)
    {
        QQuickItem *item = ui().find(objectName);
        return item ? item->property("text").toString() : u"<missing %1>"_s.arg(objectName);
    }
    bool shown(const QString &objectName) { return ui().find(objectName, 300) != nullptr; }
    QString lastId() { return Identifiers::uuidText(state().messages().constLast().id); }
    void type(const QString &text) { ui().typeText(ui().find(u"messageInput"_s), text); }
    void typeAndSend(const QString &message)
    {
        type(message);
        ui().pressKey(Qt::Key_Return);
    }

private slots:
    void init()
    {
        m_chat = std::make_unique<ChatFixture>(m_dir.filePath(u"chats.json"_s));
        QVERIFY(ui().startView(u"ChatView.qml"_s,
                               {{u"agentState"_s, QVariant::fromValue<QObject *>(&state())},
                                {u"agentManager"_s, QVariant::fromValue<QObject *>(&agent())},
                                {u"serverManager"_s, QVariant::fromValue<QObject *>(&server())},
                                {u"messages"_s, QVariant::fromValue<QObject *>(&m_chat->messages)}},
                               QSize(820, 640)));
    }

    void cleanup() { m_chat.reset(); }

    void emptyStateFollowsTheEngine()
    {
        QCOMPARE(text("emptySubtitle"), u"Your intelligent Linux assistant"_s);
        QVERIFY(shown("suggestion_3"));
        QCOMPARE(text("modelButtonLabel"), u"Llama 3.2 3B Q4_K_M"_s);  // five words lose the fourth
        ui().saveScreenshot("chat_empty_state");

        server().set(false, true, u"Loading model…"_s);
        QCOMPARE(text("engineStatusText"), u"Loading model…"_s);
        QCOMPARE(text("emptyStatusText"), u"Loading model…"_s);
        QCOMPARE(text("modelButtonLabel"), u"Loading…"_s);

        server().set(false, false);
        QVERIFY(shown("browseModelsButton"));
        QVERIFY(!shown("suggestion_0"));
        QCOMPARE(text("modelButtonLabel"), u"Select Model"_s);
        QCOMPARE(text("emptyEngineNotice"), u"Load a model to get started"_s);

        // Without an engine nothing is sent: the banner says why and the text stays.
        typeAndSend("hello");
        QVERIFY(agent().sent.isEmpty());
        QCOMPARE(text("noModelBannerText"), u"No model loaded — click the model button to load one"_s);
        QCOMPARE(text("messageInput"), u"hello"_s);

        // A failed load says so and points to the Models tab, where its log is.
        server().failureNotice = u"Loading Llama 3.2 3B Instruct Q4_K_M failed — see Models"_s;
        server().set(false, false);
        QCOMPARE(text("emptyEngineNotice"), server().failureNotice);
        QVERIFY(shown("browseModelsButton"));
        ui().saveScreenshot("chat_load_failed");

        // An engine that stopped by itself: the model button loads its model again.
        server().failureNotice = u"Engine stopped unexpectedly — see Models"_s;
        server().stoppedUnexpectedly = true;
        server().set(false, false, QString(), u"Llama 3.2 3B Instruct Q4_K_M"_s);
        QCOMPARE(text("emptyEngineNotice"), server().failureNotice);
        QCOMPARE(text("modelButtonLabel"), u"Load Llama 3.2 3B Q4_K_M again"_s);
        ui().click(u"modelButton"_s);
        QCOMPARE(server().reloads, 1);
        ui().saveScreenshot("chat_engine_stopped");

        // Only tool results: still the empty state.
        state().appendMessage(Message::make(Roles::toolResult, u"ok"_s));
        QVERIFY(shown("emptyTitle"));
    }

    void sendsStreamsAndStops()
    {
        agent().fragments = {u"## Plan\n\nUse **bold** and `code`:\n"_s, u"- one\n- two\n\n```python\n"_s,
                             u"print('hi')\n```\nDone."_s};
        typeAndSend("   ");
        QVERIFY(agent().sent.isEmpty());

        // Shift+Return breaks the line instead of sending.
        type("Show");
        ui().pressKey(Qt::Key_Return, Qt::ShiftModifier);
        typeAndSend("me");
        QCOMPARE(agent().sent, QStringList{u"Show\nme"_s});
        QCOMPARE(text("messageInput"), QString());
        // What streamed in pieces is drawn whole.
        QTRY_VERIFY(!state().isLoading());
        QCOMPARE(text("codeText"), u"print('hi')"_s);
        QCOMPARE(text("codeLanguage"), u"python"_s);
        QCOMPARE(text("markdownHeading"), u"Plan"_s);
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
        state().appendMessage(Message::make(Roles::user, u"first question"_s));
        state().appendMessage(Message::make(Roles::assistant, u"Error: engine went away"_s));

        // An error reply offers Retry without hovering; Retry sends the question again.
        const QString retry = u"retryButton_"_s + lastId();
        QVERIFY(shown(retry));
        agent().fragments = {u"Fine now."_s};
        ui().click(retry);
        QCOMPARE(agent().sent, QStringList{u"first question"_s});
        QTRY_VERIFY(!state().isLoading());
        QCOMPARE(state().messageCount(), 2);
        QCOMPARE(state().messages().constLast().content, u"Fine now."_s);

        // Editing the first message empties the list and puts its text in the box.
        QQuickItem *bubble = ui().find(u"userText"_s);
        QVERIFY(bubble);
        QTest::mouseMove(ui().window(), bubble->mapToScene(QPointF(bubble->width() / 2, bubble->height() / 2)).toPoint());
        ui().click(u"editButton_"_s + Identifiers::uuidText(state().messages().constFirst().id));
        QCOMPARE(state().messageCount(), 0);
        QCOMPARE(text("messageInput"), u"first question"_s);

        // An error reply with no question before it has nothing to retry.
        state().appendMessage(Message::make(Roles::assistant, u"Error: engine went away"_s));
        ui().click(u"retryButton_"_s + lastId());
        QCOMPARE(agent().sent.size(), 1);
        QCOMPARE(state().messageCount(), 1);
    }

    void drawsHostileReplies_data()
    {
        QTest::addColumn<QString>("content");
        QTest::newRow("unclosed fence") << u"Look:\n```js\nwhile (true) {"_s;
        QTest::newRow("1 MB single line") << u"**word** "_s.repeated(1024 * 1024 / 9);
        QTest::newRow("deep nesting") << u"> "_s.repeated(5000) + u"*_"_s.repeated(5000);
        QTest::newRow("control characters") << u"a\u0000b\u0007c\u001b[31mred\u202e\r\r\n"_s;
        QTest::newRow("right to left") << u"שלום עולם — مرحبا بالعالم\n- פריט"_s;
        QTest::newRow("emoji sequences") << u"👩‍👩‍👧‍👦🏳️‍🌈👍🏽 "_s.repeated(500);
        QTest::newRow("gigantic data url") << u"data:image/png;base64,"_s + QString(8 * 1024 * 1024, u'A');
        QTest::newRow("malformed data url") << u"data:image/jpeg;base64,%%%not base64"_s;
    }

    void drawsHostileReplies()
    {
        QFETCH(QString, content);
        state().appendMessage(Message::make(Roles::user, u"go"_s));
        state().appendMessage(Message::make(Roles::assistant, content));
        QVERIFY(ui().find(u"bubble_"_s + lastId(), 20000));
        // The window still answers: typing reaches the input box.
        type("ok");
        QCOMPARE(text("messageInput"), u"ok"_s);
    }

    // A text file comes inline in a fence, cut after 4,000 characters as the user counts them
    // (an emoji with its skin tone is one); any other file by name; nothing is sent.
    void dropsFiles()
    {
        const QString thumb = u"👍🏽"_s;
        const QString notes = u"# Notes\n"_s + thumb.repeated(3994);  // 4,002 characters
        QMimeData data;
        for (const auto &[name, bytes] : {std::pair{"notes.MD", notes.toUtf8()},
                                          std::pair{"photo.bin", QByteArray("\x00\xff\x10", 3)}}) {
            QFile file(m_dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(bytes);
            data.setUrls(data.urls() << QUrl::fromLocalFile(file.fileName()));
        }
        type("Look");
        QQuickItem *area = ui().find(u"fileDropArea"_s);
        const QPoint at = area->mapToScene(QPointF(area->width() / 2, area->height() / 2)).toPoint();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(ui().window(), &enter);
        QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(ui().window(), &move);
        QVERIFY(shown("dropOverlay"));
        QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(ui().window(), &drop);
        ui().settle();
        QCOMPARE(text("messageInput"), u"Look\nContents of notes.MD:\n```\n"_s + notes.chopped(2 * thumb.size())
                                           + u"\n\n[File truncated — 2 more characters]\n``` photo.bin"_s);
        QVERIFY(!shown("dropOverlay"));
        QVERIFY(agent().sent.isEmpty());
    }

    void sessionSettingsSheet()
    {
        ui().click("sessionSettingsButton");
        QQuickItem *field = ui().find(u"sessionTitleField"_s);
        QCOMPARE(field->property("text").toString(), u"New Chat"_s);
        field->setProperty("text", QString());
        ui().typeText(field, u"Trip plans"_s);
        ui().typeText(ui().find(u"sessionPromptField"_s), u"Answer in French."_s);
        ui().click("sessionSettingsSave");
        QCOMPARE(state().activeSessionTitle(), u"Trip plans"_s);
        QCOMPARE(state().activeSession()->systemPromptOverride, std::optional<QString>(u"Answer in French."_s));
        QVERIFY(!shown("sessionSettingsSheet"));
    }
};

QTEST_MAIN(TestChatView)
#include "tst_chat_view.moc"
