#include "agent/AgentManager.h"
#include "agent/SystemPrompt.h"
#include "conversation/AgentState.h"
#include "conversation/ArchiveStore.h"
#include "conversation/DefaultsStore.h"
#include "engine/ServerManager.h"
#include "platform/AppPaths.h"
#include "TestSupport.h"

#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <qcorotask.h>

namespace {

QString toolCallLine(const QString &name, const QJsonObject &arguments)
{
    const QJsonObject call{{QStringLiteral("name"), name}, {QStringLiteral("arguments"), arguments}};
    return QStringLiteral("TOOL_CALL: ") + QString::fromUtf8(QJsonDocument(call).toJson(QJsonDocument::Compact));
}

QJsonObject chunks(const QStringList &texts)
{
    return {{QStringLiteral("chunks"), QJsonArray::fromStringList(texts)}};
}

QJsonObject errorReply(int status, const QString &message)
{
    return {{QStringLiteral("status"), status},
            {QStringLiteral("body"),
             QJsonObject{{QStringLiteral("error"),
                          QJsonObject{{QStringLiteral("code"), status},
                                      {QStringLiteral("message"), message},
                                      {QStringLiteral("type"), QStringLiteral("invalid_request_error")}}}}}};
}

// A turn may end inside the call that ended it (a cancelled stream, a turn with nothing to do).
bool ended(QSignalSpy &finished)
{
    return !finished.isEmpty() || finished.wait(20000);
}

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

// Whole turns against the fake engine, started by a real ServerManager as the real one would be.
class TestAgentManager : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void plainReply();
    void nothingHappensWithoutTextOrEngine();
    void toolCallLines_data();
    void toolCallLines();
    void nativeToolCallsGetDistinctIds();
    void singleRequestOutcomes_data();
    void singleRequestOutcomes();
    void cancelWhileStreaming_data();
    void cancelWhileStreaming();
    void cancelWhileCardWaits_data();
    void cancelWhileCardWaits();
    void followUpNeverRunsTools();
    void historyIsCapped();
    void speedFigureShowsThenResets();
    void soundSetting_data();
    void soundSetting();
    void conversationStaysDuringTurn();
    void everyToolNeedsItsApproval_data();
    void everyToolNeedsItsApproval();

private:
    void startEngine(const QJsonArray &replies);
    bool runTurn(const QString &text);
    QList<QJsonObject> requests() const;
    QList<ChatSession> storedSessions();
    QStringList roles() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<AgentState> m_state;
    std::unique_ptr<ServerManager> m_server;
    std::unique_ptr<AgentManager> m_agent;
    QStringList m_asked;
    // Decides each approval card (true = approve); the answer arrives after the card showed.
    std::function<bool(const ToolCall &)> m_decide;
};

void TestAgentManager::init()
{
    TestSupport::resetUserData();
    DefaultsStore defaults;
    for (const QString &key : {DefaultsKeys::userName, DefaultsKeys::responseStyle,
                               DefaultsKeys::completionSoundEnabled})
        defaults.remove(key);
    m_dir = std::make_unique<QTemporaryDir>();
    m_asked.clear();
    m_decide = [](const ToolCall &) { return false; };
    m_state = std::make_unique<AgentState>();
    connect(m_state.get(), &AgentState::pendingApprovalChanged, this, [this] {
        if (!m_state->hasPendingApproval())
            return;
        const ToolCall call = *m_state->pendingApproval();
        m_asked.append(call.name);
        QMetaObject::invokeMethod(this, [this, call] {
            if (m_state->pendingApproval() && m_state->pendingApproval()->id == call.id)
                m_state->resolveApproval(m_decide(call));
        }, Qt::QueuedConnection);
    });
}

void TestAgentManager::cleanup()
{
    if (m_state)
        m_state->resolveApproval(false);
    if (m_server)
        QCoro::waitFor(m_server->stopServer());
    m_agent.reset();
    m_server.reset();
    m_state.reset();
}

void TestAgentManager::startEngine(const QJsonArray &replies)
{
    const QString script = m_dir->filePath(QStringLiteral("script.json"));
    const QJsonObject object{{QStringLiteral("loadMs"), 0},
                             {QStringLiteral("requestLog"), m_dir->filePath(QStringLiteral("requests.jsonl"))},
                             {QStringLiteral("replies"), replies}};
    QFile file(script);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(object).toJson());
    file.close();
    qputenv("MORLO_FAKE_ENGINE_SCRIPT", script.toUtf8());

    EngineEnvironment environment = EngineEnvironment::standard();
    environment.engineCandidates = {TestSupport::fakesDirectory() + QStringLiteral("/fake-llama-server")};
    environment.port = freePort();
    environment.pollIntervalMs = 20;
    environment.enginePidFile = m_dir->filePath(QStringLiteral("engine.pid"));
    environment.metalStubDirectory = m_dir->filePath(QStringLiteral("metal-stub"));
    m_server = std::make_unique<ServerManager>(environment, nullptr);
    const QString model = m_dir->filePath(QStringLiteral("tiny.gguf"));
    QFile modelFile(model);
    QVERIFY(modelFile.open(QIODevice::WriteOnly));
    modelFile.write("GGUF");
    modelFile.close();
    QCoro::waitFor(m_server->startServer(model, QStringLiteral("Tiny")));
    QVERIFY2(m_server->isRunning(), qPrintable(m_server->statusMessage()));

    AgentTiming timing;
    timing.speedResetDelay = std::chrono::milliseconds(300);
    timing.speedSettleTime = std::chrono::milliseconds(100);
    m_agent = std::make_unique<AgentManager>(m_state.get(), m_server.get(), timing, nullptr);
}

bool TestAgentManager::runTurn(const QString &text)
{
    QSignalSpy finished(m_agent.get(), &AgentManager::turnFinished);
    m_agent->sendMessage(text);
    return ended(finished);
}

QList<QJsonObject> TestAgentManager::requests() const
{
    QFile file(m_dir->filePath(QStringLiteral("requests.jsonl")));
    QList<QJsonObject> bodies;
    if (!file.open(QIODevice::ReadOnly))
        return bodies;
    for (const QByteArray &line : file.readAll().split('\n'))
        if (!line.trimmed().isEmpty())
            bodies.append(QJsonDocument::fromJson(line).object());
    return bodies;
}

QList<ChatSession> TestAgentManager::storedSessions()
{
    m_state->flush();
    ArchiveStore archive(AppPaths::chatArchivePath());
    return archive.load().sessions.value_or(QList<ChatSession>());
}

QStringList TestAgentManager::roles() const
{
    QStringList result;
    for (const Message &message : m_state->messages())
        result.append(message.role);
    return result;
}

void TestAgentManager::plainReply()
{
    startEngine({chunks({"Hel", "lo ", "there."})});
    QSignalSpy sound(m_agent.get(), &AgentManager::completionSoundPlayed);
    QVERIFY(runTurn(QStringLiteral("  Say hi\n")));

    QCOMPARE(roles(), QStringList({"user", "assistant"}));
    QCOMPARE(m_state->messages().at(0).content, QStringLiteral("  Say hi\n"));
    QCOMPARE(m_state->messages().at(1).content, QStringLiteral("Hello there."));
    QVERIFY(!m_state->isLoading());
    QVERIFY(m_state->currentStreamingContent().isEmpty());
    QVERIFY(!m_agent->hasCurrentTask());
    QCOMPARE(sound.size(), 1);

    const QList<ChatSession> stored = storedSessions();
    QCOMPARE(stored.size(), 1);
    QCOMPARE(stored.first().messages, m_state->messages());
    QCOMPARE(stored.first().title, QStringLiteral("Say hi\n"));

    const QList<QJsonObject> sent = requests();
    QCOMPARE(sent.size(), 1);
    const QJsonArray messages = sent.first().value("messages").toArray();
    QCOMPARE(messages.size(), 2);
    QCOMPARE(messages.at(0).toObject().value("content").toString(), m_agent->effectiveSystemPrompt());
    QVERIFY(m_agent->effectiveSystemPrompt().contains(QStringLiteral("\n\nHome: ") + QDir::homePath()
                                                      + SystemPrompt::toolInstructionBlock()));
    QCOMPARE(messages.at(1).toObject().value("content").toString(), QStringLiteral("  Say hi\n"));
    QCOMPARE(sent.first().value("tools").toArray().size(), 14);
}

void TestAgentManager::nothingHappensWithoutTextOrEngine()
{
    startEngine({chunks({"never"})});
    QVERIFY(runTurn(QStringLiteral(" \n\t ")));
    QVERIFY(m_state->messages().isEmpty());
    QCoro::waitFor(m_server->stopServer());
    QVERIFY(runTurn(QStringLiteral("Hello?")));
    QVERIFY(m_state->messages().isEmpty());
    QVERIFY(!m_state->isLoading());
    QVERIFY(requests().isEmpty());
}

void TestAgentManager::toolCallLines_data()
{
    QTest::addColumn<QStringList>("reply");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QStringList>("asked");
    QTest::addColumn<QString>("results");

    const QJsonObject safari{{"app_name", "Safari"}};
    QTest::newRow("one call") << QStringList{"Opening Safari.\n", toolCallLine("open_app", safari)}
                              << "Opening Safari." << QStringList{"open_app"}
                              << "Tool results:\n[open_app]: Denied by user";
    QTest::newRow("two calls, each asked")
        << QStringList{toolCallLine("delete_file", {{"path", "/tmp/a"}}) + "\n  ",
                       toolCallLine("close_app", safari)}
        << "" << QStringList{"delete_file", "close_app"}
        << "Tool results:\n[delete_file]: Denied by user\n[close_app]: Denied by user";
    QTest::newRow("numbers as arguments, a broken line between")
        << QStringList{"Let me check.\n", toolCallLine("download_model", {{"model_name", 5}}),
                       "\nTOOL_CALL: {broken\n", toolCallLine("set_active_model", {{"model_name", 2.5}})}
        << "Let me check." << QStringList{"download_model", "set_active_model"}
        << "Tool results:\n[download_model]: Denied by user\n[set_active_model]: Denied by user";
}

void TestAgentManager::toolCallLines()
{
    QFETCH(QStringList, reply);
    QFETCH(QString, shown);
    QFETCH(QStringList, asked);
    QFETCH(QString, results);
    startEngine({chunks(reply), chunks({"Done."})});
    QVERIFY(runTurn(QStringLiteral("do it")));

    QCOMPARE(m_asked, asked);
    QCOMPARE(roles(), QStringList({"user", "assistant", "tool_result", "assistant"}));
    const Message &withCalls = m_state->messages().at(1);
    QCOMPARE(withCalls.content, shown);
    QVERIFY(withCalls.toolCalls);
    QCOMPARE(withCalls.toolCalls->size(), asked.size());
    if (asked.first() == QLatin1String("download_model")) {
        QCOMPARE(withCalls.toolCalls->at(0).arguments.value("model_name"), QStringLiteral("5"));
        QCOMPARE(withCalls.toolCalls->at(1).arguments.value("model_name"), QStringLiteral("2.5"));
    }
    QCOMPARE(m_state->messages().at(2).content, results);
    QCOMPARE(m_state->messages().at(3).content, QStringLiteral("Done."));
    QCOMPARE(storedSessions().first().messages, m_state->messages());

    const QList<QJsonObject> sent = requests();
    QCOMPARE(sent.size(), 2);
    QVERIFY(!sent.at(1).contains("tools"));
    const QJsonArray followUp = sent.at(1).value("messages").toArray();
    QCOMPARE(followUp.at(0).toObject().value("content").toString(),
             m_agent->effectiveSystemPrompt() + AgentManager::followUpInstruction);
    QCOMPARE(followUp.last().toObject().value("role").toString(), QStringLiteral("user"));
    QCOMPARE(followUp.last().toObject().value("content").toString(), results);
}

void TestAgentManager::nativeToolCallsGetDistinctIds()
{
    QJsonArray deltas;
    deltas.append(QJsonObject{{"index", 0}, {"id", ""}, {"name", "get_system_info"}, {"arguments", "{}"}});
    deltas.append(QJsonObject{{"index", 1}, {"id", ""}, {"name", "list_open_apps"}, {"arguments", "{"}});
    deltas.append(QJsonObject{{"index", 1}, {"arguments", "}"}});
    startEngine({QJsonObject{{"toolCalls", deltas}}, chunks({"Checked."})});
    QVERIFY(runTurn(QStringLiteral("how is my machine")));

    QVERIFY(m_asked.isEmpty());
    const auto calls = m_state->messages().at(1).toolCalls;
    QVERIFY(calls);
    QCOMPARE(calls->size(), 2);
    QVERIFY(!calls->at(0).id.isEmpty());
    QVERIFY(calls->at(0).id != calls->at(1).id);
    QVERIFY(m_state->messages().at(2).content.startsWith(QStringLiteral("Tool results:\n[get_system_info]: ")));
    QCOMPARE(m_state->messages().last().content, QStringLiteral("Checked."));
}

void TestAgentManager::singleRequestOutcomes_data()
{
    QTest::addColumn<QJsonArray>("replies");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QList<bool>>("sentTools");

    QTest::newRow("400 then plain answer")
        << QJsonArray{errorReply(400, "tools not supported"), chunks({"Fine."})} << "Fine."
        << QList<bool>{true, false};
    QTest::newRow("400 twice")
        << QJsonArray{errorReply(400, "tools not supported"), errorReply(400, "still no")}
        << "Error: still no" << QList<bool>{true, false};
    QTest::newRow("500 for tools is an ordinary error")
        << QJsonArray{QJsonObject{{"whenTools", errorReply(500, "Cannot use tools with stream")}}}
        << "Error: Cannot use tools with stream" << QList<bool>{true};
    QTest::newRow("raw 500") << QJsonArray{QJsonObject{{"status", 500}, {"rawBody", "<html>oops</html>"}}}
                             << "Error: Server error 500" << QList<bool>{true};
    QTest::newRow("stream cut short keeps its text")
        << QJsonArray{QJsonObject{{"chunks", QJsonArray{"partial ", "answer"}}, {"cut", true}}}
        << "partial answer" << QList<bool>{true};
    QTest::newRow("broken lines skipped")
        << QJsonArray{QJsonObject{{"lines", QJsonArray{"data: {not json", "error: {\"code\":500}",
                                                       ": comment",
                                                       "data: {\"choices\":[{\"delta\":{\"content\":\"ok\"}}]}"}}}}
        << "ok" << QList<bool>{true};
    QTest::newRow("malformed calls are dropped")
        << QJsonArray{chunks({"Hi.\nTOOL_CALL: {\"arguments\":{}}\n", "TOOL_CALL: [1]\nTOOL_CALL: {oops"})}
        << "Hi." << QList<bool>{true};
    QTest::newRow("all leaked lines: raw text shown")
        << QJsonArray{chunks({"Tool results: none\n---"})} << "Tool results: none\n---"
        << QList<bool>{true};
}

void TestAgentManager::singleRequestOutcomes()
{
    QFETCH(QJsonArray, replies);
    QFETCH(QString, shown);
    QFETCH(QList<bool>, sentTools);
    startEngine(replies);
    QSignalSpy sound(m_agent.get(), &AgentManager::completionSoundPlayed);
    QVERIFY(runTurn(QStringLiteral("question")));

    QCOMPARE(roles(), QStringList({"user", "assistant"}));
    QCOMPARE(m_state->messages().last().content, shown);
    QCOMPARE(sound.size(), shown.startsWith(QStringLiteral("Error: ")) ? 0 : 1);
    QVERIFY(!m_state->isLoading());
    QCOMPARE(storedSessions().first().messages.last().content, shown);
    const QList<QJsonObject> sent = requests();
    QCOMPARE(sent.size(), sentTools.size());
    for (int i = 0; i < sent.size(); ++i)
        QCOMPARE(sent.at(i).contains("tools"), sentTools.at(i));
}

void TestAgentManager::cancelWhileStreaming_data()
{
    QTest::addColumn<QJsonObject>("reply");
    QTest::addColumn<QStringList>("rolesLeft");
    QTest::addColumn<QString>("lastShown");

    QTest::newRow("before the first fragment") << QJsonObject{{"hold", true}} << QStringList{"user"}
                                               << "cancel me";
    QTest::newRow("after some text") << QJsonObject{{"chunks", QJsonArray{"Some text"}}, {"hold", true}}
                                     << QStringList{"user", "assistant"} << "Some text";
}

void TestAgentManager::cancelWhileStreaming()
{
    QFETCH(QJsonObject, reply);
    QFETCH(QStringList, rolesLeft);
    QFETCH(QString, lastShown);
    startEngine({reply});
    QSignalSpy finished(m_agent.get(), &AgentManager::turnFinished);
    QSignalSpy sound(m_agent.get(), &AgentManager::completionSoundPlayed);
    m_agent->sendMessage(QStringLiteral("cancel me"));
    QTRY_COMPARE(requests().size(), 1);
    if (rolesLeft.size() > 1)
        QTRY_COMPARE(m_state->messages().last().content, lastShown);
    else
        QTest::qWait(100);
    m_agent->cancelGeneration();
    QVERIFY(!m_agent->hasCurrentTask());
    QVERIFY(ended(finished));

    QCOMPARE(roles(), rolesLeft);
    QCOMPARE(m_state->messages().last().content, lastShown);
    QVERIFY(!m_state->isLoading());
    QCOMPARE(m_state->tokensPerSecond(), 0.0);
    QCOMPARE(sound.size(), 0);
    QCOMPARE(storedSessions().first().messages, m_state->messages());
}

void TestAgentManager::cancelWhileCardWaits_data()
{
    QTest::addColumn<bool>("approve");
    QTest::newRow("approved after cancel") << true;
    QTest::newRow("denied after cancel") << false;
}

void TestAgentManager::cancelWhileCardWaits()
{
    QFETCH(bool, approve);
    const QString target = m_dir->filePath(QStringLiteral("note.txt"));
    startEngine({chunks({toolCallLine("write_file", {{"path", target}, {"content", "hi"}})}),
                 chunks({"Written."})});
    m_decide = [](const ToolCall &) { return false; };
    QSignalSpy finished(m_agent.get(), &AgentManager::turnFinished);
    // Keep the card up: answer only after cancelling.
    disconnect(m_state.get(), &AgentState::pendingApprovalChanged, this, nullptr);
    m_agent->sendMessage(QStringLiteral("write a note"));
    QTRY_VERIFY(m_state->hasPendingApproval());
    m_agent->cancelGeneration();
    QTest::qWait(100);
    QVERIFY(m_state->hasPendingApproval()); // cancelling does not answer the card
    QVERIFY(m_state->isLoading());
    QVERIFY(!QFile::exists(target));
    m_state->resolveApproval(approve);
    QVERIFY(ended(finished));

    QCOMPARE(QFile::exists(target), approve);
    QCOMPARE(roles(), QStringList({"user", "assistant", "tool_result", "assistant"}));
    QCOMPARE(m_state->messages().at(2).content,
             approve ? QStringLiteral("Tool results:\n[write_file]: File written successfully to ") + target
                     : QStringLiteral("Tool results:\n[write_file]: Denied by user"));
    // The cancelled turn sends no follow-up.
    QCOMPARE(requests().size(), 1);
    QVERIFY(m_state->messages().last().content.startsWith(QStringLiteral("Error: ")));
    QVERIFY(!m_state->isLoading());
}

void TestAgentManager::followUpNeverRunsTools()
{
    const QString target = m_dir->filePath(QStringLiteral("second.txt"));
    startEngine({chunks({toolCallLine("get_clipboard", {})}),
                 chunks({"Your clipboard was read.\n",
                         toolCallLine("write_file", {{"path", target}, {"content", "x"}})})});
    m_decide = [](const ToolCall &) { return true; };
    QVERIFY(runTurn(QStringLiteral("read my clipboard")));
    QVERIFY(m_asked.isEmpty());
    QVERIFY(!QFile::exists(target));
    QCOMPARE(m_state->messages().last().content, QStringLiteral("Your clipboard was read."));
    QVERIFY(!m_state->messages().last().toolCalls);
    QCOMPARE(requests().size(), 2);
}

void TestAgentManager::historyIsCapped()
{
    startEngine({chunks({"a"})});
    for (int i = 0; i < 12; ++i) {
        m_state->appendMessage(Message::make(Roles::user, QStringLiteral("q%1").arg(i)));
        m_state->appendMessage(Message::make(Roles::assistant, QStringLiteral("a%1").arg(i)));
    }
    m_state->appendMessage(Message::make(Roles::assistant, QStringLiteral("data:image/jpeg;base64,AAAA")));
    m_state->syncActiveSession();
    QVERIFY(runTurn(QStringLiteral("latest")));
    QVERIFY(m_state->historyWasTrimmed());
    const QJsonArray sent = requests().first().value("messages").toArray();
    QCOMPARE(sent.size(), 21); // the system prompt and the 20 most recent
    QCOMPARE(sent.at(1).toObject().value("content").toString(), QStringLiteral("a2"));
    QCOMPARE(sent.last().toObject().value("content").toString(), QStringLiteral("latest"));
    for (const QJsonValue &m : sent)
        QVERIFY(!m.toObject().value("content").toString().startsWith(QStringLiteral("data:")));
}

void TestAgentManager::speedFigureShowsThenResets()
{
    startEngine({QJsonObject{{"chunks", QJsonArray{"a", "b", "c", "d", "e", "f"}}, {"delayMs", 200}}});
    QElapsedTimer clock;
    clock.start();
    QVERIFY(runTurn(QStringLiteral("count")));
    QVERIFY(clock.elapsed() > 150);
    QVERIFY(m_state->tokensPerSecond() > 0);
    QVERIFY(m_state->tokensPerSecond() < 100);
    QTRY_COMPARE(m_state->tokensPerSecond(), 0.0);
}

void TestAgentManager::soundSetting_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<bool>("plays");
    QTest::newRow("absent") << QVariant() << true;
    QTest::newRow("true") << QVariant(true) << true;
    QTest::newRow("false") << QVariant(false) << false;
    QTest::newRow("not a boolean") << QVariant(QStringLiteral("loud")) << true;
}

void TestAgentManager::soundSetting()
{
    QFETCH(QVariant, stored);
    QFETCH(bool, plays);
    if (stored.isValid())
        DefaultsStore().setValue(DefaultsKeys::completionSoundEnabled, stored);
    startEngine({chunks({"ok"})});
    QSignalSpy sound(m_agent.get(), &AgentManager::completionSoundPlayed);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(runTurn(QStringLiteral("ping")));
    QCOMPARE(sound.size(), plays ? 1 : 0);
    QVERIFY2(clock.elapsed() < 3000, "the chime must not hold up the turn");
}

void TestAgentManager::conversationStaysDuringTurn()
{
    startEngine({QJsonObject{{"hold", true}}});
    const QUuid started = *m_state->activeSessionID();
    m_state->newSession();
    const QUuid other = *m_state->activeSessionID();
    m_state->selectSession(started);
    m_agent->sendMessage(QStringLiteral("long question"));
    QTRY_COMPARE(requests().size(), 1);

    m_state->selectSession(other);
    m_state->newSession();
    m_state->deleteSession(started);
    m_state->clearAllChats();
    QCOMPARE(*m_state->activeSessionID(), started);
    QCOMPARE(m_state->sessionCount(), 2);
    m_state->deleteSession(other); // another conversation may go
    QCOMPARE(m_state->sessionCount(), 1);

    QSignalSpy finished(m_agent.get(), &AgentManager::turnFinished);
    m_agent->cancelGeneration();
    QVERIFY(ended(finished));
    QCOMPARE(roles(), QStringList({"user"}));
    m_state->newSession();
    QVERIFY(*m_state->activeSessionID() != started);
}

// Every tool name, approved and denied: only the four read-only tools run without the card,
// and nothing else runs unless that very call was approved.
void TestAgentManager::everyToolNeedsItsApproval_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("approve");
    const QStringList names = {"take_screenshot", "read_file", "write_file", "list_files",
                               "delete_file", "open_app", "close_app", "list_open_apps",
                               "get_system_info", "get_clipboard", "set_clipboard",
                               "list_local_models", "download_model", "set_active_model",
                               "Write_File", "screenshot"};
    for (const QString &name : names) {
        QTest::newRow(qPrintable(name + " approved")) << name << true;
        QTest::newRow(qPrintable(name + " denied")) << name << false;
    }
}

void TestAgentManager::everyToolNeedsItsApproval()
{
    QFETCH(QString, name);
    QFETCH(bool, approve);
    const QString readable = m_dir->filePath(QStringLiteral("readable.txt"));
    const QString secret = QStringLiteral("secret") + QString(994, QLatin1Char('x'));
    const QString written = m_dir->filePath(QStringLiteral("written.txt"));
    const QString victim = m_dir->filePath(QStringLiteral("victim.txt"));
    for (const auto &[path, text] : {std::pair{readable, secret}, std::pair{victim, QStringLiteral("keep")}}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text.toUtf8());
    }
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));

    const QJsonObject arguments{{"path", name == "read_file" ? readable : name == "delete_file" ? victim : written},
                                {"content", "from the model"},
                                {"directory", m_dir->path()},
                                {"app_name", "NoSuchApplicationForTests"},
                                {"text", "from the model"},
                                {"model_name", "tiny"}};
    startEngine({chunks({toolCallLine(name, arguments)}), chunks({"Done."})});
    m_decide = [approve](const ToolCall &) { return approve; };
    QVERIFY(runTurn(QStringLiteral("go")));

    const bool autoApproved = AgentManager::autoApprovedTools.contains(name);
    const bool runs = autoApproved || approve;
    QCOMPARE(m_asked, autoApproved ? QStringList() : QStringList{name});

    const QString results = m_state->messages().at(m_state->messageCount() - 2).content;
    const QString line = results.section(QLatin1Char('\n'), 1);
    QCOMPARE(line == QStringLiteral("[") + name + QStringLiteral("]: Denied by user"), !runs);

    QCOMPARE(QFile::exists(written), runs && name == "write_file");
    QCOMPARE(QFile::exists(victim), !(runs && name == "delete_file"));
    QCOMPARE(QGuiApplication::clipboard()->text(),
             runs && name == "set_clipboard" ? QStringLiteral("from the model") : QStringLiteral("before"));
    if (name == "read_file" && runs)
        QCOMPARE(line, QStringLiteral("[read_file]: ") + secret.first(400) + QChar(0x2026));
    if (name == "list_files" && runs)
        QVERIFY(line.contains(QStringLiteral("readable.txt")));
    if (name == "Write_File" && runs)
        QCOMPARE(line, QStringLiteral("[Write_File]: Unknown tool: Write_File"));

    const bool screenshot = name == "take_screenshot" && runs;
    QCOMPARE(roles(), screenshot ? QStringList({"user", "assistant", "assistant", "tool_result", "assistant"})
                                 : QStringList({"user", "assistant", "tool_result", "assistant"}));
    if (screenshot) {
        QVERIFY(m_state->messages().at(2).isImage());
        QVERIFY(QRegularExpression(QStringLiteral(
                    R"(^\[take_screenshot\]: Screenshot captured and saved to Desktop as 'Screenshot_\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\.jpg'\.$)"))
                    .match(line).hasMatch());
    }

    // What the model heard: exactly the recorded results, and never an image.
    const QList<QJsonObject> sent = requests();
    QCOMPARE(sent.size(), 2);
    const QByteArray followUp = QJsonDocument(sent.at(1)).toJson(QJsonDocument::Compact);
    QCOMPARE(sent.at(1).value("messages").toArray().last().toObject().value("content").toString(), results);
    QVERIFY(!followUp.contains("data:image"));
    QCOMPARE(storedSessions().first().messages, m_state->messages());
}

QTEST_MAIN(TestAgentManager)
#include "tst_agent_manager.moc"
