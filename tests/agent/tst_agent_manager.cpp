#include "agent/AgentManager.h"
#include "conversation/AgentState.h"
#include "conversation/ArchiveStore.h"
#include "conversation/DefaultsStore.h"
#include "engine/ServerManager.h"
#include "platform/AppPaths.h"
#include "tools/ToolName.h"
#include "EngineFixture.h"
#include "TestSupport.h"

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <QTemporaryDir>
#include <QTimer>
#include <QScopeGuard>
#include <pwd.h>
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

// One event of the stream exactly as an engine writes it.
QString chunkLine(const QString &content)
{
    const QJsonObject chunk{{"choices", QJsonArray{QJsonObject{{"delta", QJsonObject{{"content", content}}}}}}};
    return QStringLiteral("data: ") + QString::fromUtf8(QJsonDocument(chunk).toJson(QJsonDocument::Compact));
}

QJsonObject errorReply(int status, const QString &message)
{
    const QJsonObject error{{"code", status}, {"message", message}, {"type", "invalid_request_error"}};
    return {{QStringLiteral("status"), status}, {QStringLiteral("body"), QJsonObject{{"error", error}}}};
}

// Messages as "role: content" lines, so a whole conversation compares at once.
QString line(const QString &role, const QString &content)
{
    return role + QStringLiteral(": ") + content;
}

// What every system prompt ends with, word for word: the model learns the one-line call syntax
// from it.
const QString toolBlock = QStringLiteral(
    "\nFor explicit system actions only (open app, read/write file, etc.) output exactly one line: "
    "TOOL_CALL: {\"name\":\"toolname\",\"arguments\":{\"key\":\"value\"}}\nTools: list_files, read_file, "
    "write_file, delete_file, take_screenshot, open_app, close_app, list_open_apps, get_system_info, "
    "get_clipboard, set_clipboard\nNEVER call tools to answer questions. NEVER include tool names, "
    "clipboard contents, file paths, or system info in a normal reply.");

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Where a call in a follow-up answer would write if it ever ran.
const QString followUpTarget = QDir::home().filePath(QStringLiteral("follow-up.txt"));

} // namespace

// Whole turns against the fake engine, started by a real ServerManager as the real one would be.
class TestAgentManager : public QObject
{
    Q_OBJECT

    std::unique_ptr<EngineFixture> m_engine;
    std::unique_ptr<AgentState> m_state;
    std::unique_ptr<ServerManager> m_server;
    std::unique_ptr<AgentManager> m_agent;
    std::unique_ptr<QSignalSpy> m_finished;
    std::unique_ptr<QSignalSpy> m_chimes;
    QStringList m_asked; // each approval card, as "name key=value …"
    QSet<QString> m_askedIds;
    QList<QVariantMap> m_cards; // what each approval card drew
    bool m_approve = false;

    void startEngine(const QJsonArray &replies)
    {
        m_engine->setEngineScript(
            {{"loadMs", 0}, {"requestLog", m_engine->path(QStringLiteral("requests.jsonl"))}, {"replies", replies}});
        m_server = std::make_unique<ServerManager>(m_engine->environment, nullptr);
        QCoro::waitFor(m_server->startServer(m_engine->path(QStringLiteral("tiny.gguf")), QStringLiteral("Tiny")));
        QVERIFY2(m_server->isRunning(), qPrintable(m_server->statusMessage()));
        AgentTiming timing;
        timing.speedResetDelay = std::chrono::milliseconds(300);
        timing.speedSettleTime = std::chrono::milliseconds(100);
        m_agent = std::make_unique<AgentManager>(m_state.get(), m_server.get(), timing, nullptr);
        m_finished = std::make_unique<QSignalSpy>(m_agent.get(), &AgentManager::turnFinished);
        m_chimes = std::make_unique<QSignalSpy>(m_agent.get(), &AgentManager::completionSoundPlayed);
    }

    // A turn may end inside the call that ended it (a cancelled stream, a turn with nothing to do).
    bool ended() { return !m_finished->isEmpty() || m_finished->wait(20000); }

    bool runTurn(const QString &text)
    {
        m_finished->clear();
        m_agent->sendMessage(text);
        return ended();
    }

    // The turn is over, nothing is left half-shown and the conversation on disk is the one on screen.
    bool settledAndSaved()
    {
        m_state->flush();
        const auto sessions = ArchiveStore(AppPaths::chatArchivePath()).load().sessions;
        return !m_state->isLoading() && m_state->currentStreamingContent().isEmpty() && !m_agent->hasCurrentTask()
            && sessions && sessions->size() == 1 && sessions->first().messages == m_state->messages();
    }

    // The request bodies the engine received, in order.
    QList<QJsonObject> requests() const
    {
        QList<QJsonObject> bodies;
        for (const QByteArray &json : contents(m_engine->path(QStringLiteral("requests.jsonl"))).split('\n'))
            if (json.startsWith('{'))
                bodies.append(QJsonDocument::fromJson(json).object());
        return bodies;
    }

    QStringList sentMessages(int request) const
    {
        QStringList lines;
        for (const QJsonValue &message : requests().at(request).value("messages").toArray())
            lines.append(line(message["role"].toString(), message["content"].toString()));
        return lines;
    }

    QStringList conversation() const
    {
        QStringList lines;
        for (const Message &message : m_state->messages())
            lines.append(line(message.role, message.content));
        return lines;
    }

private slots:
    void init()
    {
        TestSupport::resetUserData();
        DefaultsStore defaults;
        defaults.setValue(DefaultsKeys::userName, QStringLiteral("Ada"));
        defaults.setValue(DefaultsKeys::responseStyle, QStringLiteral("concise"));
        defaults.remove(DefaultsKeys::completionSoundEnabled);
        QFile::remove(followUpTarget);
        m_engine = std::make_unique<EngineFixture>();
        m_asked.clear();
        m_askedIds.clear();
        m_cards.clear();
        m_approve = false;
        m_state = std::make_unique<AgentState>();
        connect(m_state.get(), &AgentState::pendingApprovalChanged, this, [this] {
            const std::optional<ToolCall> call = m_state->pendingApproval();
            if (!call)
                return;
            m_asked.append(call->name);
            for (auto it = call->arguments.begin(); it != call->arguments.end(); ++it)
                m_asked.last() += QLatin1Char(' ') + it.key() + QLatin1Char('=') + it.value();
            m_askedIds.insert(call->id);
            m_cards.append(m_state->pendingApprovalMap().value(QStringLiteral("card")).toMap());
            // The user answers once the card has shown.
            QTimer::singleShot(0, this, [this, call] {
                if (m_state->pendingApproval() == call)
                    m_state->resolveApproval(m_approve);
            });
        });
    }

    void cleanup()
    {
        m_state->resolveApproval(false);
        if (m_server)
            QCoro::waitFor(m_server->stopServer());
        m_agent.reset();
        m_server.reset();
        m_state.reset();
        m_engine.reset();
    }

    // One turn per row: what is shown after the user's message and saved, which cards were shown,
    // what the engine was asked (with or without the tool list) and whether the chime played.
    // Tool results go back in one follow-up without tools; calls in that follow-up never run.
    void turns_data()
    {
        QTest::addColumn<QJsonArray>("replies");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QStringList>("asked");
        QTest::addColumn<QList<bool>>("sentTools");
        QTest::addColumn<bool>("soundOn");

        // The chime plays for a turn that ends without an error, when the sound is on.
        const auto row = [](const char *name, const QJsonArray &replies, const QStringList &shown,
                            const QList<bool> &sentTools = {true}, bool soundOn = true) {
            QStringList lines;
            for (const QString &text : shown)
                lines << "assistant: " + text;
            QTest::newRow(name) << replies << lines << QStringList() << sentTools << soundOn;
        };
        row("plain reply", {chunks({"Hel", "lo ", "there."})}, {"Hello there."});
        row("sound off", {chunks({"ok"})}, {"ok"}, {true}, false);
        row("400 twice", {errorReply(400, "tools not supported"), errorReply(400, "still no")}, {"Error: still no"},
            {true, false});
        row("500 for tools is an ordinary error", {QJsonObject{{"whenTools", errorReply(500, "Cannot use tools")}}},
            {"Error: Cannot use tools"});
        row("malformed calls are dropped",
            {chunks({"Hi.\nTOOL_CALL: {\"arguments\":{}}\n", "TOOL_CALL: [1]\nTOOL_CALL: {oops"})}, {"Hi."});
        row("all leaked lines: raw text shown", {chunks({"Tool results: none\n---"})}, {"Tool results: none\n---"});
        // Leaked lines go whatever fragments they come in; look-alikes stay.
        row("leaked lines among text",
            {chunks({"Sure.\n  TOOL_CA", "LL: {}\n[read_", "file]: done\nThe clipboard is em", "pty\nHome dir: /x\n",
                     "Moved to Trash: /a\nI have confirmed it.\n---\n[notes]: x\nThe clipboard holds cats\n"})},
            {"Sure.\n[notes]: x\nThe clipboard holds cats"});
        row("503 whose message is not text", {QJsonObject{{"status", 503}, {"body", QJsonObject{{"error", QJsonObject{{"message", 7}}}}}}},
            {"Error: Server error 503"});
        // The stream as raw lines: a finish reason makes an answer whole without the end marker;
        // lines that are not events of ours are skipped; a line far longer than one network read
        // is joined, a cut-off one skipped.
        const auto lines = [](const QJsonArray &lines) { return QJsonArray{QJsonObject{{"lines", lines}}}; };
        row("finish reason, then closed",
            lines({chunkLine("all"), R"(data: {"choices":[{"delta":{},"finish_reason":"stop"}]})"}), {"all"});
        row("malformed and foreign lines are skipped",
            lines({"data: {not json", "error: not json", ": keep-alive comment", "event: message",
                   chunkLine("no space").replace("data: ", "data:"), "data: {\"choices\":[]}", chunkLine(""),
                   "data: {\"delta\":{\"content\":\"no choices\"}}",
                   "data: {\"choices\":[{\"delta\":{\"content\":\"a\"}},{\"delta\":{\"content\":\"b\"}}]}",
                   chunkLine("crlf") + "\r", "data: [1,2]",
                   "data: {\"choices\":[{\"delta\":{\"content\":\"x\"}},{\"index\":1}]}", // a bad choice spoils its chunk
                   "data: {\"choices\":[{\"delta\":{\"content\":\"y\"}},{\"delta\":{\"content\":5}}]}",
                   "data: {\"choices\":[{\"delta\":{\"content\":\"z\",\"tool_calls\":[{\"index\":\"0\"}]}}]}",
                   "data:[DONE]", chunkLine(" after the unspaced marker"), "data: [DONE]", chunkLine("after the end")}),
            {"abcrlf after the unspaced marker"});
        const QString big(3 * 1024 * 1024, QLatin1Char('x'));
        row("a line of megabytes",
            lines({"data: {\"choices\":[{\"delta\":{\"content\":\"" + big, chunkLine(big), "data: [DONE]"}), {big});
        // An answer that breaks off keeps what arrived, with the reason below it; older engines
        // report such a failure as an "error:" event.
        row("error line of older engines",
            lines({chunkLine("a"), R"(error: {"code":503,"message":"boom","type":"x"})", chunkLine("never"), "data: [DONE]"}),
            {"a", "Error: boom"});
        row("error after some text", {QJsonObject{{"chunks", QJsonArray{"Half an ", "answer"}},
                                                  {"error", QJsonObject{{"code", 500}, {"message", "Out of memory"}}}}},
            {"Half an answer", "Error: Out of memory"});
        row("closed early", {QJsonObject{{"chunks", QJsonArray{"Half"}}, {"cut", true}}},
            {"Half", "Error: The engine closed the reply early"});

        // Every card here is denied.
        const auto toolRow = [](const char *name, const QJsonObject &reply, const QString &shown,
                                const QStringList &asked) {
            QString results = QStringLiteral("tool_result: Tool results:");
            for (const QString &call : asked)
                results += QStringLiteral("\n[%1]: Denied by user").arg(call.section(QLatin1Char(' '), 0, 0));
            const QJsonObject followUp =
                chunks({"Done.\n", toolCallLine("write_file", {{"path", followUpTarget}, {"content", "x"}})});
            QTest::newRow(name) << QJsonArray{reply, followUp}
                                << QStringList{"assistant: " + shown, results, "assistant: Done."} << asked
                                << QList<bool>{true, false} << true;
        };
        toolRow("two calls, each asked",
                chunks({toolCallLine("delete_file", {{"path", "/tmp/a"}}) + "\n  ",
                        toolCallLine("close_app", {{"app_name", "Safari"}})}),
                "", {"delete_file path=/tmp/a", "close_app app_name=Safari"});
        toolRow("numbers as arguments, a broken line between",
                chunks({"Let me check.\n", toolCallLine("download_model", {{"model_name", 5}}), "\nTOOL_CALL: {x\n",
                        toolCallLine("set_active_model", {{"model_name", 2.5}})}),
                "Let me check.", {"download_model model_name=5", "set_active_model model_name=2.5"});
        // Native calls: pieces of one call are joined by index, calls come in index order, a
        // later name replaces an earlier one, nameless calls are dropped, and calls that come
        // without ids each get their own.
        toolRow("native calls",
                {{"toolCalls", QJsonDocument::fromJson(R"([{"index":2,"id":"","name":"set_active_model","arguments":"not json"},
                    {"index":1,"id":"b","arguments":"{}"}, {"index":0,"id":"","name":"x","arguments":"[1]"},
                    {"index":0,"name":"download_model","arguments":""}, {"index":0,"name":""}])").array()}},
                "", {"download_model", "set_active_model"});
        toolRow("native call split over two deltas",
                {{"toolCalls", QJsonArray{QJsonObject{{"index", 0}, {"id", "call-1"}, {"name", "open_app"}, {"arguments", "{\"app_name\":\"Calc"}},
                                          QJsonObject{{"index", 0}, {"id", "call-2"}, {"arguments", "ulator\",\"count\":3}"}}}}},
                "", {"open_app app_name=Calculator count=3"});
        toolRow("native call after text, arguments of every type",
                {{"chunks", QJsonArray{"Opening."}},
                 {"toolCalls", QJsonArray{QJsonObject{{"name", "open_app"},
                                                      {"arguments", R"({"app_name":"Calc","ok":true,"n":1.5,"o":{"a":[1]}})"}}}}},
                "Opening.", {"open_app app_name=Calc n=1.5 o={\"a\":[1]} ok=true"});
    }

    void turns()
    {
        QFETCH(QJsonArray, replies);
        QFETCH(QStringList, shown);
        QFETCH(QStringList, asked);
        QFETCH(QList<bool>, sentTools);
        QFETCH(bool, soundOn);
        if (!soundOn)
            DefaultsStore().setValue(DefaultsKeys::completionSoundEnabled, false);
        startEngine(replies);
        const QString typed = QStringLiteral("  Say hi\n");
        QVERIFY(runTurn(typed));

        QCOMPARE(conversation(), QStringList{line("user", typed)} + shown);
        QCOMPARE(m_asked, asked);
        QCOMPARE(m_askedIds.size(), asked.size());
        QVERIFY(!m_askedIds.contains(QString()));
        QCOMPARE(m_state->messages().at(1).toolCalls.value_or(QList<ToolCall>()).size(), asked.size());
        QVERIFY(!m_state->messages().last().toolCalls);
        QVERIFY(!QFile::exists(followUpTarget));
        QCOMPARE(m_chimes->size(), soundOn && !shown.last().startsWith("assistant: Error: ") ? 1 : 0);
        QVERIFY(settledAndSaved());

        const QList<QJsonObject> sent = requests();
        QCOMPARE(sent.size(), sentTools.size());
        for (int i = 0; i < sent.size(); ++i)
            QCOMPARE(sent.at(i).contains("tools"), sentTools.at(i));
        QCOMPARE(sent.first().value("tools").toArray().size(), 14);
        const QString prompt = m_agent->effectiveSystemPrompt();
        QCOMPARE(sentMessages(0), QStringList({line("system", prompt), line("user", typed)}));
        // The prompt is read from the user's settings and names a home folder that exists here.
        QVERIFY(prompt.endsWith(QStringLiteral(" The user's name is Ada. Be concise and direct.\n\nHome: ")
                                + QDir::homePath() + toolBlock));
        if (sent.size() == 2 && asked.isEmpty()) // the retry asks the same again
            QCOMPARE(sentMessages(1), sentMessages(0));
        if (!asked.isEmpty()) {
            const QStringList followUp = sentMessages(1);
            QCOMPARE(followUp.first(), line("system", prompt + AgentManager::followUpInstruction));
            QCOMPARE(followUp.last(), line("user", m_state->messages().at(2).content));
        }
    }

    void cancelling_data()
    {
        QTest::addColumn<QJsonArray>("replies");
        QTest::addColumn<int>("cardAnswer"); // -1: cancelled while streaming; 0, 1: card denied, approved after
        QTest::addColumn<QStringList>("left");
        const QString note = QDir::home().filePath(QStringLiteral("note.txt"));
        const QJsonArray writeNote{chunks({toolCallLine("write_file", {{"path", note}, {"content", "hi"}})}),
                                   chunks({"ok"})};
        const QString results = QStringLiteral("tool_result: Tool results:\n[write_file]: ");
        QTest::newRow("before the first fragment") << QJsonArray{QJsonObject{{"hold", true}}} << -1
                                                   << QStringList{"user: cancel me"};
        // What is shown while streaming is already cleaned of call lines.
        const QJsonArray someText{"Some text\n", "TOOL_CALL: {\"name\":\"open_app\"}"};
        QTest::newRow("after some text") << QJsonArray{QJsonObject{{"chunks", someText}, {"hold", true}}} << -1
                                         << QStringList{"user: cancel me", "assistant: Some text"};
        QTest::newRow("card approved after cancel")
            << writeNote << 1
            << QStringList{"user: cancel me", "assistant: ", results + "File written successfully to " + note};
        QTest::newRow("card denied after cancel")
            << writeNote << 0 << QStringList{"user: cancel me", "assistant: ", results + "Denied by user"};
    }

    // While a turn runs, the conversation on screen cannot be switched, replaced or deleted.
    // Cancelling a stream keeps the text shown so far; cancelling while the approval card waits
    // leaves the card up, and its answer still counts, but no follow-up is asked for.
    void cancelling()
    {
        QFETCH(QJsonArray, replies);
        QFETCH(int, cardAnswer);
        QFETCH(QStringList, left);
        const bool card = cardAnswer >= 0;
        const QString note = QDir::home().filePath(QStringLiteral("note.txt"));
        QFile::remove(note);
        startEngine(replies);
        disconnect(m_state.get(), &AgentState::pendingApprovalChanged, this, nullptr);
        const QUuid started = *m_state->activeSessionID();
        m_state->newSession();
        const QUuid other = *m_state->activeSessionID();
        m_state->selectSession(started);
        m_agent->sendMessage(QStringLiteral("cancel me"));
        QTRY_COMPARE(requests().size(), 1);
        if (card)
            QTRY_VERIFY(m_state->hasPendingApproval());
        else if (left.size() > 1)
            QTRY_COMPARE(conversation(), left);

        m_state->selectSession(other);
        m_state->newSession();
        m_state->deleteSession(started);
        m_state->clearAllChats();
        QCOMPARE(*m_state->activeSessionID(), started);
        QCOMPARE(m_state->sessionCount(), 2);
        m_state->deleteSession(other); // another conversation may go

        m_agent->cancelGeneration();
        QVERIFY(!m_agent->hasCurrentTask());
        if (card) {
            QTest::qWait(100);
            QVERIFY(m_state->hasPendingApproval());
            QVERIFY(!QFile::exists(note));
            m_state->resolveApproval(cardAnswer == 1);
        }
        QVERIFY(ended());
        QCOMPARE(QFile::exists(note), cardAnswer == 1);
        const QStringList shown = conversation();
        QCOMPARE(shown.mid(0, left.size()), left);
        QCOMPARE(shown.size(), left.size() + (card ? 1 : 0));
        QVERIFY(!card || shown.last().startsWith(QStringLiteral("assistant: Error: ")));
        QCOMPARE(requests().size(), 1);
        QCOMPARE(m_chimes->size(), card ? 1 : 0); // a turn whose tools ran still ends normally
        QVERIFY(card || m_state->tokensPerSecond() == 0.0);
        QVERIFY(settledAndSaved()); // which also means the conversation is free again
    }

    // Screenshots and system messages are never sent and do not count towards the 20; a blank
    // reply counts but is not sent. The chat's prompt and the generation settings go with the
    // request.
    void historyIsCapped_data()
    {
        QTest::addColumn<int>("earlier");
        QTest::addColumn<bool>("trimmed");
        QTest::addColumn<QString>("oldestSent");
        QTest::newRow("26 messages: the last 20") << 24 << true << "user: m6";
        QTest::newRow("20 messages: all") << 18 << false << "user: m0";
    }

    void historyIsCapped()
    {
        QFETCH(int, earlier);
        QFETCH(bool, trimmed);
        QFETCH(QString, oldestSent);
        startEngine({chunks({"a"})});
        for (int i = 0; i < earlier; ++i)
            m_state->appendMessage(Message::make(i % 2 ? Roles::assistant : Roles::user, QStringLiteral("m%1").arg(i)));
        m_state->appendMessage(Message::make(Roles::assistant, QStringLiteral("data:image/jpeg;base64,AAAA")));
        m_state->appendMessage(Message::make(Roles::system, QStringLiteral("kept out")));
        m_state->appendMessage(Message::make(Roles::assistant, QStringLiteral(" \n\t ")));
        m_state->syncActiveSession();
        m_state->setActiveSessionSystemPromptOverride(QStringLiteral("Answer as a pirate."));
        m_state->setTemperature(0.25);
        m_state->setMaxTokens(64);
        QVERIFY(runTurn(QStringLiteral("latest")));
        QCOMPARE(m_state->historyWasTrimmed(), trimmed);
        const QStringList sent = sentMessages(0);
        QCOMPARE(sent.size(), 20); // the system prompt and 20 messages, less the blank reply
        // The chat's own prompt replaces the default one; the user's name and style still follow.
        QCOMPARE(sent.first(), line("system", "Answer as a pirate. The user's name is Ada. Be concise and direct.\n\nHome: "
                                                  + QDir::homePath() + toolBlock));
        const QJsonObject body = requests().first();
        QCOMPARE(body.value("model").toString(), QStringLiteral("local"));
        QCOMPARE(body.value("stream").toBool(), true);
        QCOMPARE(body.value("temperature").toDouble(), 0.25);
        QCOMPARE(body.value("max_tokens").toInt(), 64);
        QCOMPARE(sent.at(1), oldestSent);
        QCOMPARE(sent.last(), QStringLiteral("user: latest"));
    }

    // Every tool name, approved and denied: only the four read-only tools run without the card
    // (the clipboard too, unless the user asked to be asked), and nothing else runs unless that
    // very call was approved. Every call handled is kept with the results, as run.
    void everyToolNeedsItsApproval_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("approve");
        QTest::addColumn<bool>("askForClipboard");
        for (const char *name : {"take_screenshot", "read_file", "write_file", "list_files", "delete_file",
                                 "open_app", "close_app", "list_open_apps", "get_system_info", "get_clipboard",
                                 "set_clipboard", "list_local_models", "download_model", "set_active_model",
                                 "Write_File", "screenshot"}) {
            QTest::addRow("%s approved", name) << QString::fromLatin1(name) << true << false;
            QTest::addRow("%s denied", name) << QString::fromLatin1(name) << false << false;
        }
        QTest::addRow("get_clipboard asked, approved") << "get_clipboard" << true << true;
        QTest::addRow("get_clipboard asked, denied") << "get_clipboard" << false << true;
    }

    void everyToolNeedsItsApproval()
    {
        QFETCH(QString, name);
        QFETCH(bool, approve);
        QFETCH(bool, askForClipboard);
        m_state->setAskBeforeReadingClipboard(askForClipboard);
        const auto restore = qScopeGuard([this] { m_state->setAskBeforeReadingClipboard(false); });
        const QString readable = m_engine->path("readable.txt"), written = m_engine->path("written.txt"),
                      victim = m_engine->path("victim.txt");
        const QByteArray secret = "secret" + QByteArray(994, 'x');
        for (const auto &[path, bytes] : {std::pair{readable, secret}, std::pair{victim, QByteArray("keep")}}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        }
        QGuiApplication::clipboard()->setText(QStringLiteral("before"));

        const QJsonObject arguments{{"path", name == "read_file" ? readable : name == "delete_file" ? victim : written},
                                    {"content", "from the model"},
                                    {"directory", QFileInfo(readable).path()},
                                    {"app_name", "NoSuchApplicationForTests"},
                                    {"text", "from the model"},
                                    {"model_name", "tiny"}};
        startEngine({chunks({toolCallLine(name, arguments)}), chunks({"Done."})});
        m_approve = approve;
        QVERIFY(runTurn(QStringLiteral("go")));

        const bool autoApproved = QStringList{"list_open_apps", "get_system_info", "list_local_models"}.contains(name)
            || (name == "get_clipboard" && !askForClipboard);
        const bool runs = autoApproved || approve;
        QCOMPARE(m_asked.size(), autoApproved ? 0 : 1);
        QVERIFY(autoApproved || m_asked.first().section(QLatin1Char(' '), 0, 0) == name);

        const bool screenshot = name == "take_screenshot" && runs;
        QCOMPARE(m_state->messageCount(), screenshot ? 5 : 4);
        QVERIFY(!screenshot || m_state->messages().at(2).isImage());
        const Message results = m_state->messages().at(m_state->messageCount() - 2);
        QCOMPARE(results.role, Roles::toolResult);
        const QString result = results.content.section(QLatin1Char('\n'), 1);
        QCOMPARE(result == QStringLiteral("[") + name + QStringLiteral("]: Denied by user"), !runs);
        QCOMPARE(results.toolCalls.value_or(QList<ToolCall>()).size(), 1);
        const ToolCall kept = results.toolCalls->first();
        QCOMPARE(QStringLiteral("[") + name + QStringLiteral("]: ") + kept.result.value_or("<none>"), result);
        const bool failed = !Tools::toolNameFrom(name) || result.contains("Error: ");
        QCOMPARE(kept.status, !runs ? ToolStatus::denied : failed ? ToolStatus::failed : ToolStatus::completed);

        QCOMPARE(QFile::exists(written), runs && name == "write_file");
        QCOMPARE(QFile::exists(victim), !(runs && name == "delete_file"));
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 runs && name == "set_clipboard" ? QStringLiteral("from the model") : QStringLiteral("before"));
        if (name == "read_file" && runs) // long results are cut to 400 characters
            QCOMPARE(result, QStringLiteral("[read_file]: ") + QString::fromLatin1(secret.first(400)) + QChar(0x2026));
        static const QRegularExpression systemLine(QStringLiteral(
            "^\\[get_system_info\\]: Linux: [^\n]+\nRAM: [0-9]+\\.[0-9]GB\nDisk: ([0-9]+GB free of [0-9]+GB|Unknown)\nCPU: [1-9][0-9]* cores$"));
        QVERIFY2(name != "get_system_info" || systemLine.match(result).hasMatch(), qPrintable(result));
        static const QRegularExpression screenshotLine(QStringLiteral(
            R"(^\[take_screenshot\]: Screenshot captured and saved to Desktop as )"
            R"('Screenshot_\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\.jpg'\.$)"));
        if (screenshot) { // the model's copy is scaled to 1280 wide; the Desktop keeps the very same bytes
            QVERIFY(screenshotLine.match(result).hasMatch());
            const QString url = m_state->messages().at(2).content;
            QVERIFY(url.startsWith(QStringLiteral("data:image/jpeg;base64,")));
            const QByteArray jpeg = QByteArray::fromBase64(url.section(QLatin1Char(','), 1).toLatin1(),
                                                           QByteArray::AbortOnBase64DecodingErrors);
            QCOMPARE(QImage::fromData(jpeg, "JPEG").size(), QSize(1280, 720));
            QCOMPARE(contents(QDir::home().filePath("Desktop/" + result.section(QLatin1Char('\''), 1, 1))), jpeg);
        }

        // What the model heard: exactly the recorded results, and never an image.
        QCOMPARE(requests().size(), 2);
        QCOMPARE(sentMessages(1).last(), line("user", results.content));
        QVERIFY(!QJsonDocument(requests().at(1)).toJson().contains("data:image"));
        QVERIFY(settledAndSaved());
    }

    // What the card shows is what happens. Each call runs through the real turn and dispatcher
    // in a home folder of its own, and is approved: the path shown on the card, the path kept
    // in the conversation and the file the tool touched are one and the same. "$H" stands for
    // the home folder; an empty shown path means the call is refused before any card.
    void cardShowsExactlyWhatHappens_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QJsonObject>("arguments");
        QTest::addColumn<QString>("shown");   // the path on the card
        QTest::addColumn<QStringList>("card"); // other rows and notes, as "Label: value"
        QTest::addColumn<QString>("result");  // what the model is told, after "[tool]: "

        const QString refusedPrefix = QStringLiteral("Error: The path holds control or invisible characters: ");
        const QString longName = QString(300, QLatin1Char('a'));
        QTest::newRow("newline injection") << "write_file"
            << QJsonObject{{"path", "~/Documents/notes.txt\n\n\n/../../.bashrc"}, {"content", "x"}} << QString()
            << QStringList() << refusedPrefix + "~/Documents/notes.txt⏎\n⏎\n⏎\n/../../.bashrc";
        QTest::newRow("right-to-left override") << "delete_file" << QJsonObject{{"path", "~/Documents/\u202Etxt.exe"}}
            << QString() << QStringList() << refusedPrefix + "~/Documents/\\u202Etxt.exe";
        QTest::newRow("zero-width space") << "read_file" << QJsonObject{{"path", "~/.bash\u200Brc"}} << QString()
            << QStringList() << refusedPrefix + "~/.bash\\u200Brc";
        QTest::newRow("unknown user") << "read_file" << QJsonObject{{"path", "~nosuchuser-morlo/x"}} << QString()
            << QStringList() << "Error: No user named nosuchuser-morlo for the path ~nosuchuser-morlo/x";
        QTest::newRow("dot-dot is taken") << "write_file"
            << QJsonObject{{"path", "~/Documents/" + longName + "/../../.profile"}, {"content", "p"}} << "$H/.profile"
            << QStringList{"Content: p", "Replaces an existing file (8 bytes)"}
            << "File written successfully to ~/Documents/" + longName + "/../../.profile";
        QTest::newRow("relative is in the home folder") << "write_file"
            << QJsonObject{{"path", "notes.txt"}, {"content", "line one\nline\u202Etwo"}} << "$H/notes.txt"
            << QStringList{"Content: line one⏎\nline\\u202Etwo", "Creates a new file"}
            << "File written successfully to notes.txt";
        QTest::newRow("dot-dot after a linked folder") << "write_file"
            << QJsonObject{{"path", "~/linked/../escape.txt"}, {"content", "e"}} << "$H/Documents/escape.txt"
            << QStringList{"Content: e", "Creates a new file"} << "File written successfully to ~/linked/../escape.txt";
        QTest::newRow("reading follows links") << "read_file" << QJsonObject{{"path", "~/linked/secret.txt"}}
            << "$H/Documents/inner/secret.txt" << QStringList() << "s3cret";
        QTest::newRow("a link is replaced, not followed") << "write_file"
            << QJsonObject{{"path", "~/rc-link"}, {"content", "l"}} << "$H/rc-link"
            << QStringList{"Content: l", "Replaces a link (what it points to is left alone)"}
            << "File written successfully to ~/rc-link";
        QTest::newRow("only exact names count") << "write_file"
            << QJsonObject{{"Path", "~/.bashrc"}, {"path", "~/safe.txt"}, {"content", "c"}, {"mode", "0777"}}
            << "$H/safe.txt" << QStringList{"Content: c", "Ignored Path: ~/.bashrc", "Ignored mode: 0777", "Creates a new file"}
            << "File written successfully to ~/safe.txt";
        QTest::newRow("missing folders are made") << "write_file"
            << QJsonObject{{"path", "~/Documents/new/deeper/n.txt"}, {"content", ""}} << "$H/Documents/new/deeper/n.txt"
            << QStringList{"Content: ", "Creates a new file"} << "File written successfully to ~/Documents/new/deeper/n.txt";
        QTest::newRow("text that is not UTF-8") << "read_file" << QJsonObject{{"path", "~/Documents/latin1.txt"}}
            << "$H/Documents/latin1.txt" << QStringList() << "Error: The file is not valid UTF-8 text: ~/Documents/latin1.txt";
        QTest::newRow("home itself") << "list_files" << QJsonObject{{"directory", "~"}} << "$H" << QStringList()
            << "Documents/\nlinked\nnotes-old.txt\nrc-link";
        QTest::newRow("trash") << "delete_file" << QJsonObject{{"path", "~/Documents/../notes-old.txt"}} << "$H/notes-old.txt"
            << QStringList{"Moves to Trash"} << "Moved to Trash: ~/Documents/../notes-old.txt";
        QTest::newRow("another user's home") << "delete_file" << QJsonObject{{"path", "~root/morlo-missing"}}
            << QDir::cleanPath(QString::fromLocal8Bit(::getpwnam("root")->pw_dir) + "/morlo-missing")
            << QStringList{"Moves to Trash"} << "Error: File not found: ~root/morlo-missing";
    }

    void cardShowsExactlyWhatHappens()
    {
        QFETCH(QString, tool);
        QFETCH(QJsonObject, arguments);
        QFETCH(QString, shown);
        QFETCH(QStringList, card);
        QFETCH(QString, result);

        // Beside the test's own data folder, so the Trash is on the same disk.
        QTemporaryDir homeDir(QDir::home().filePath(QStringLiteral("home-XXXXXX")));
        const QString home = QFileInfo(homeDir.path()).canonicalFilePath();
        const QByteArray previousHome = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(home));
        const auto restoreHome = qScopeGuard([&] { qputenv("HOME", previousHome); });
        const auto put = [&](const QString &name, const QByteArray &bytes) {
            QDir(home).mkpath(QFileInfo(home + "/" + name).path());
            QFile file(home + "/" + name);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        };
        put(".bashrc", "original");
        put(".profile", "profile!");
        put("notes-old.txt", "old");
        put("Documents/inner/secret.txt", "s3cret");
        put("Documents/latin1.txt", "caf\xe9");
        QVERIFY(QFile::link(home + "/Documents/inner", home + "/linked"));
        QVERIFY(QFile::link(home + "/.bashrc", home + "/rc-link"));
        // The app was started somewhere else: relative paths must not land there.
        const QString startedIn = QDir::currentPath();
        QTemporaryDir elsewhere;
        QDir::setCurrent(elsewhere.path());
        const auto restoreDirectory = qScopeGuard([&] { QDir::setCurrent(startedIn); });
        shown.replace(QStringLiteral("$H"), home);

        startEngine({chunks({toolCallLine(tool, arguments)}), chunks({"Done."})});
        m_approve = true;
        QVERIFY(runTurn(QStringLiteral("go")));

        // The card: the resolved path in the row the tool reads, everything else in full.
        QCOMPARE(m_cards.size(), shown.isEmpty() ? 0 : 1);
        QStringList drawn;
        QString pathOnCard;
        for (const QVariantMap &map : m_cards) {
            for (const QVariant &row : map.value("rows").toList()) {
                const QVariantMap r = row.toMap();
                if (r.value("icon") == QLatin1String("folder"))
                    pathOnCard = r.value("value").toString();
                else if (r.value("label") != QLatin1String("Action"))
                    drawn << r.value("label").toString() + ": " + r.value("value").toString();
            }
            for (const QVariant &row : map.value("ignored").toList())
                drawn << "Ignored " + row.toMap().value("label").toString() + ": " + row.toMap().value("value").toString();
            drawn << map.value("notes").toStringList();
        }
        QCOMPARE(pathOnCard, shown);
        QCOMPARE(drawn, card);

        // The conversation keeps the call as run: the same path, and what the model was told.
        const Message results = m_state->messages().at(m_state->messageCount() - 2);
        QCOMPARE(results.content, "Tool results:\n[" + tool + "]: " + result);
        QCOMPARE(results.toolCalls.value_or(QList<ToolCall>()).size(), 1);
        const ToolCall kept = results.toolCalls->first();
        QCOMPARE(kept.result, std::optional<QString>(result));
        QCOMPARE(kept.status, shown.isEmpty() || result.startsWith("Error: ") ? ToolStatus::failed : ToolStatus::completed);
        if (!shown.isEmpty())
            QCOMPARE(kept.arguments.value(tool == "list_files" ? "directory" : "path"), shown);

        // The file touched is the one shown and no other.
        const QString content = arguments.value("content").toString();
        if (tool == "write_file" && !shown.isEmpty()) {
            QCOMPARE(QString::fromUtf8(contents(shown)), content);
            QVERIFY(!QFileInfo(shown).isSymLink());
        }
        QCOMPARE(contents(home + "/.bashrc"), QByteArray("original"));
        QCOMPARE(QDir(elsewhere.path()).isEmpty(), true);
        QCOMPARE(QFile::exists(home + "/notes-old.txt"), !(tool == "delete_file" && shown == home + "/notes-old.txt"));
        QVERIFY(settledAndSaved());
    }
};

QTEST_MAIN(TestAgentManager)
#include "tst_agent_manager.moc"
