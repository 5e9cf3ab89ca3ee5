#include "ChatDoubles.h"
#include "QmlHarness.h"
#include "TestSupport.h"
#include "conversation/ArchiveStore.h"
#include "conversation/Identifiers.h"
#include "conversation/MessageListModel.h"

#include <QMimeData>
#include <QQuickItem>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <qcorotask.h>

// The real chat view over a real AgentState, with doubles for the two managers.
class TestChatView : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<ArchiveStore> m_archive;
    std::unique_ptr<AgentState> m_state;
    std::unique_ptr<MessageListModel> m_messages;
    std::unique_ptr<FakeAgentManager> m_agent;
    std::unique_ptr<FakeServerManager> m_server;
    std::unique_ptr<QmlHarness> m_harness;

    QmlHarness &ui() { return *m_harness; }

    QString text(const QString &objectName)
    {
        QQuickItem *item = ui().find(objectName);
        return item ? item->property("text").toString() : QStringLiteral("<missing %1>").arg(objectName);
    }

    bool shown(const QString &objectName) { return ui().find(objectName, 300) != nullptr; }

    QString lastId() const { return Identifiers::uuidText(m_state->messages().constLast().id); }

    void typeAndSend(const QString &message)
    {
        ui().typeText(ui().find(QStringLiteral("messageInput")), message);
        ui().pressKey(Qt::Key_Return);
    }

    void drop(const QList<QUrl> &urls)
    {
        QQuickItem *area = ui().find(QStringLiteral("fileDropArea"));
        QVERIFY(area);
        const QPoint at = area->mapToScene(QPointF(area->width() / 2, area->height() / 2)).toPoint();
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(ui().window(), &enter);
        QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(ui().window(), &move);
        QVERIFY(shown(QStringLiteral("dropOverlay")));
        QDropEvent dropEvent(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(ui().window(), &dropEvent);
        ui().settle();
    }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_archive = std::make_unique<ArchiveStore>(m_dir.filePath(QStringLiteral("chats.json")));
        m_state = std::make_unique<AgentState>(m_archive.get(), nullptr);
        m_state->clearAllChats();
        m_messages = std::make_unique<MessageListModel>(m_state.get());
        m_agent = std::make_unique<FakeAgentManager>(m_state.get());
        m_server = std::make_unique<FakeServerManager>();
        m_harness = std::make_unique<QmlHarness>();
        QVERIFY(ui().startView(QStringLiteral("ChatView.qml"),
                               {{QStringLiteral("agentState"), QVariant::fromValue<QObject *>(m_state.get())},
                                {QStringLiteral("agentManager"), QVariant::fromValue<QObject *>(m_agent.get())},
                                {QStringLiteral("serverManager"), QVariant::fromValue<QObject *>(m_server.get())},
                                {QStringLiteral("messages"), QVariant::fromValue<QObject *>(m_messages.get())}},
                               QSize(820, 640)));
    }

    void cleanup()
    {
        m_harness.reset();
        m_agent.reset();
        m_messages.reset();
        m_state.reset();
        m_archive.reset();
    }

    void emptyStateFollowsTheEngine()
    {
        QCOMPARE(text(QStringLiteral("emptySubtitle")), QStringLiteral("Your intelligent Linux assistant"));
        QVERIFY(shown(QStringLiteral("suggestion_3")));
        QCOMPARE(text(QStringLiteral("modelButtonLabel")), QStringLiteral("Llama 3.2 3B Q4_K_M"));
        ui().saveScreenshot(QStringLiteral("chat_empty_state"));

        m_server->set(false, true, QStringLiteral("Loading model…"), QString());
        QCOMPARE(text(QStringLiteral("engineStatusText")), QStringLiteral("Loading model…"));
        QCOMPARE(text(QStringLiteral("emptyStatusText")), QStringLiteral("Loading model…"));
        QCOMPARE(text(QStringLiteral("modelButtonLabel")), QStringLiteral("Loading…"));

        m_server->set(false, false, QString(), QString());
        QVERIFY(shown(QStringLiteral("browseModelsButton")));
        QVERIFY(!shown(QStringLiteral("suggestion_0")));
        QCOMPARE(text(QStringLiteral("modelButtonLabel")), QStringLiteral("Select Model"));

        // Only tool results: still the empty state.
        m_state->appendMessage(Message::make(Roles::toolResult, QStringLiteral("ok")));
        QVERIFY(shown(QStringLiteral("emptyTitle")));
    }

    void sendsStreamsAndStops()
    {
        m_agent->fragments = {QStringLiteral("## Plan\n\nUse **bold** and `code`:\n"),
                              QStringLiteral("- one\n- two\n\n```python\n"),
                              QStringLiteral("print('hi')\n```\nDone.")};
        ui().typeText(ui().find(QStringLiteral("messageInput")), QStringLiteral("   "));
        ui().pressKey(Qt::Key_Return);
        QVERIFY(m_agent->sent.isEmpty());

        ui().pressKey(Qt::Key_Return, Qt::ShiftModifier);
        typeAndSend(QStringLiteral("Show me"));
        QCOMPARE(m_agent->sent, QStringList{QStringLiteral("\n   \nShow me").trimmed()});
        QCOMPARE(text(QStringLiteral("messageInput")), QString());
        QTRY_VERIFY(!m_state->isLoading());
        QCOMPARE(text(QStringLiteral("codeText")), QStringLiteral("print('hi')"));
        QCOMPARE(text(QStringLiteral("codeLanguage")), QStringLiteral("python"));
        QVERIFY(text(QStringLiteral("markdownHeading")) == QStringLiteral("Plan"));
        ui().saveScreenshot(QStringLiteral("chat_streamed_markdown_reply"));

        // A turn that never ends: the typing indicator shows, stop ends it.
        m_agent->fragments.clear();
        typeAndSend(QStringLiteral("again"));
        QVERIFY(shown(QStringLiteral("typingIndicator")));
        ui().click(QStringLiteral("stopButton"));
        QCOMPARE(m_agent->cancelled, 1);
        QVERIFY(shown(QStringLiteral("sendButton")));
    }

    void withoutEngineShowsTheBanner()
    {
        m_server->set(false, false, QString(), QString());
        typeAndSend(QStringLiteral("hello"));
        QVERIFY(m_agent->sent.isEmpty());
        QCOMPARE(text(QStringLiteral("noModelBannerText")),
                 QStringLiteral("No model loaded — tap the model button to load one"));
        QCOMPARE(text(QStringLiteral("messageInput")), QStringLiteral("hello"));
    }

    void editsAndRetries()
    {
        m_state->appendMessage(Message::make(Roles::user, QStringLiteral("first question")));
        const QString userId = lastId();
        m_state->appendMessage(Message::make(Roles::assistant, QStringLiteral("Error: engine went away")));
        const QString errorId = lastId();

        // An error reply offers Retry without hovering.
        QVERIFY(shown(QStringLiteral("retryButton_") + errorId));
        m_agent->fragments = {QStringLiteral("Fine now.")};
        ui().click(QStringLiteral("retryButton_") + errorId);
        QCOMPARE(m_agent->sent, QStringList{QStringLiteral("first question")});
        QTRY_VERIFY(!m_state->isLoading());
        QCOMPARE(m_state->messageCount(), 2);
        QCOMPARE(m_state->messages().constLast().content, QStringLiteral("Fine now."));

        // Editing the first message empties the list and puts its text in the box.
        const QString resentId = Identifiers::uuidText(m_state->messages().constFirst().id);
        QVERIFY(resentId != userId);
        QQuickItem *bubble = ui().find(QStringLiteral("userText"));
        QVERIFY(bubble);
        QTest::mouseMove(ui().window(), bubble->mapToScene(QPointF(bubble->width() / 2, bubble->height() / 2)).toPoint());
        ui().click(QStringLiteral("editButton_") + resentId);
        QCOMPARE(m_state->messageCount(), 0);
        QCOMPARE(text(QStringLiteral("messageInput")), QStringLiteral("first question"));
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
        m_state->appendMessage(Message::make(Roles::user, QStringLiteral("go")));
        m_state->appendMessage(Message::make(Roles::assistant, content));
        const QString id = lastId();
        QVERIFY(ui().find(QStringLiteral("bubble_") + id, 20000));
        // The window still answers: typing reaches the input box.
        ui().typeText(ui().find(QStringLiteral("messageInput")), QStringLiteral("ok"));
        QCOMPARE(text(QStringLiteral("messageInput")), QStringLiteral("ok"));
    }

    void dropsFiles()
    {
        const QString textPath = m_dir.filePath(QStringLiteral("notes.MD"));
        QFile textFile(textPath);
        QVERIFY(textFile.open(QIODevice::WriteOnly));
        textFile.write("# Notes\n");
        textFile.close();
        const QString binaryPath = m_dir.filePath(QStringLiteral("photo.bin"));
        QFile binary(binaryPath);
        QVERIFY(binary.open(QIODevice::WriteOnly));
        binary.write(QByteArray("\x00\xff\x10", 3));
        binary.close();

        ui().typeText(ui().find(QStringLiteral("messageInput")), QStringLiteral("Look"));
        drop({QUrl::fromLocalFile(textPath), QUrl::fromLocalFile(binaryPath)});
        QCOMPARE(text(QStringLiteral("messageInput")),
                 QStringLiteral("Look\nContents of notes.MD:\n```\n# Notes\n\n``` photo.bin"));
        QVERIFY(!shown(QStringLiteral("dropOverlay")));
        QVERIFY(m_agent->sent.isEmpty());
    }

    void answersTheApprovalCard_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("approved");
        QTest::newRow("approve") << "approveButton" << true;
        QTest::newRow("deny") << "denyButton" << false;
        QTest::newRow("dismiss") << "" << false;
    }

    void answersTheApprovalCard()
    {
        QFETCH(QString, answer);
        QFETCH(bool, approved);
        std::optional<bool> result;
        const ToolCall call = ToolCall::make(
            QStringLiteral("write_file"),
            {{QStringLiteral("path"), QStringLiteral("/tmp/notes.txt")},
             {QStringLiteral("content"), QStringLiteral("Line one\nLine two\nLine three\nLine four")}});
        auto wait = [&]() -> QCoro::Task<> { result = co_await m_state->requestApproval(call); };
        auto task = wait();
        QVERIFY(shown(QStringLiteral("approvalView")));
        QCOMPARE(text(QStringLiteral("approvalTitle")), QStringLiteral("Action Requires Approval"));
        QCOMPARE(text(QStringLiteral("approvalRowLabel_0")), QStringLiteral("Action"));
        QCOMPARE(text(QStringLiteral("approvalRowLabel_1")), QStringLiteral("Content"));
        QCOMPARE(ui().find(QStringLiteral("approvalRowIcon_1"))->property("symbol").toString(), QStringLiteral("doc.text"));
        QCOMPARE(text(QStringLiteral("approvalRowLabel_2")), QStringLiteral("Path"));
        QCOMPARE(ui().find(QStringLiteral("approvalRowIcon_2"))->property("symbol").toString(), QStringLiteral("folder"));
        QCOMPARE(text(QStringLiteral("approvalRowValue_2")), QStringLiteral("/tmp/notes.txt"));
        if (approved)
            ui().saveScreenshot(QStringLiteral("chat_approval_card"));

        if (answer.isEmpty())
            ui().pressKey(Qt::Key_Escape);
        else
            ui().click(answer);
        QTRY_VERIFY(result.has_value());
        QCOMPARE(*result, approved);
        QVERIFY(!m_state->hasPendingApproval());
        QTRY_VERIFY(!shown(QStringLiteral("approvalView")));
    }

    void renamesTheSession()
    {
        ui().click(QStringLiteral("sessionSettingsButton"));
        QQuickItem *field = ui().find(QStringLiteral("sessionTitleField"));
        QVERIFY(field);
        QCOMPARE(field->property("text").toString(), QStringLiteral("New Chat"));
        field->setProperty("text", QString());
        ui().typeText(field, QStringLiteral("Trip plans"));
        ui().typeText(ui().find(QStringLiteral("sessionPromptField")), QStringLiteral("Answer in French."));
        ui().click(QStringLiteral("sessionSettingsSave"));
        QCOMPARE(m_state->activeSessionTitle(), QStringLiteral("Trip plans"));
        QCOMPARE(m_state->activeSession()->systemPromptOverride, std::optional<QString>(QStringLiteral("Answer in French.")));
        QVERIFY(!shown(QStringLiteral("sessionSettingsSheet")));
    }
};

QTEST_MAIN(TestChatView)
#include "tst_chat_view.moc"
