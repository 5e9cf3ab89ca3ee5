// The completions client against the fake engine, a real child process on a loopback port.
#include "FakeEngineProcess.h"
#include "llm/LLMClient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <QTimer>

namespace {

QJsonArray parseArray(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).array();
}

QString chunkLine(const QString &content)
{
    const QJsonObject chunk{{"choices", QJsonArray{QJsonObject{{"delta", QJsonObject{{"content", content}}}}}}};
    return QStringLiteral("data: ") + QString::fromUtf8(QJsonDocument(chunk).toJson(QJsonDocument::Compact));
}

// Tool calls as one comparable text: "id|name|key=value,key=value" per call, joined by ";".
QString describe(const std::optional<QList<ToolCall>> &calls)
{
    if (!calls)
        return QStringLiteral("none");
    QStringList described;
    for (const ToolCall &call : *calls) {
        QStringList arguments;
        for (auto it = call.arguments.begin(); it != call.arguments.end(); ++it)
            arguments.append(it.key() + QLatin1Char('=') + it.value());
        described.append(call.id + QLatin1Char('|') + call.name + QLatin1Char('|') + arguments.join(QLatin1Char(',')));
    }
    return described.join(QLatin1Char(';'));
}

const QJsonArray someTools = parseArray("[{\"type\":\"function\",\"function\":{\"name\":\"open_app\",\"parameters\":{\"type\":\"object\"}}}]");

} // namespace

class TestLLMClient : public QObject
{
    Q_OBJECT

private:
    struct Outcome
    {
        LLMResult result;
        QStringList fragments;
    };

    Outcome run(LLMClient &client, const QJsonArray &tools = {}, const QList<Message> &history = {Message::make(Roles::user, "Hi")})
    {
        Outcome outcome;
        outcome.result = QCoro::waitFor(client.streamChat(history, QStringLiteral("Be brief."), 0.7, 256, tools,
                                                          [&outcome](const QString &fragment) { outcome.fragments.append(fragment); }));
        return outcome;
    }

private slots:
    void replyShapes_data()
    {
        QTest::addColumn<QByteArray>("replies");
        QTest::addColumn<bool>("withTools");
        QTest::addColumn<QStringList>("fragments");
        QTest::addColumn<QString>("toolCalls");

        QTest::newRow("content deltas") << QByteArray("[{\"chunks\":[\"Hel\",\"lo\"]}]") << false << QStringList{"Hel", "lo"} << "none";
        QTest::newRow("stream cut without the end marker") << QByteArray("[{\"chunks\":[\"par\",\"tial\"],\"cut\":true}]") << false
                                                           << QStringList{"par", "tial"} << "none";
        QTest::newRow("tools refused, then the next reply") << QByteArray("[{\"whenTools\":{\"status\":500,\"body\":{}}},{\"chunks\":[\"plain\"]}]")
                                                            << false << QStringList{"plain"} << "none";

        const QJsonArray lines{
            "data: {not json",
            "error: {\"code\":500,\"message\":\"boom\"}",
            ": keep-alive comment",
            "event: message",
            chunkLine("no space").replace("data: ", "data:"),
            "data: {\"choices\":[]}",
            chunkLine(""),
            "data: {\"delta\":{\"content\":\"no choices\"}}",
            "data: {\"choices\":[{\"finish_reason\":null}]}",
            "data: {\"choices\":[{\"delta\":{\"content\":\"a\"}},{\"delta\":{\"content\":\"b\"}}]}",
            chunkLine("crlf") + "\r",
            "data:[DONE]",
            chunkLine("after the unspaced marker"),
            "data: [DONE]",
            chunkLine("after the end"),
        };
        QTest::newRow("malformed and foreign lines are skipped")
            << QJsonDocument(QJsonArray{QJsonObject{{"lines", lines}}}).toJson(QJsonDocument::Compact) << false
            << QStringList{"a", "b", "crlf", "after the unspaced marker"} << "none";
        QTest::newRow("HTML with status 200 yields nothing") << QByteArray("[{\"rawBody\":\"<html><body>Hi</body></html>\"}]")
                                                             << false << QStringList{} << "none";

        QTest::newRow("tool call split over two deltas")
            << QByteArray("[{\"toolCalls\":[{\"index\":0,\"id\":\"call-1\",\"name\":\"open_app\",\"arguments\":\"{\\\"app_name\\\":\\\"Calc\"},{\"index\":0,\"id\":\"call-2\",\"arguments\":\"ulator\\\",\\\"count\\\":3}\"}]}]")
            << true << QStringList{} << "call-1|open_app|app_name=Calculator,count=3";
        QTest::newRow("tool calls ordered by index, nameless dropped, later name replaces")
            << QByteArray("[{\"toolCalls\":[{\"index\":2,\"id\":\"c\",\"name\":\"list_files\",\"arguments\":\"not json\"},{\"index\":1,\"id\":\"b\",\"arguments\":\"{}\"},{\"index\":0,\"id\":\"a\",\"name\":\"x\",\"arguments\":\"[1]\"},{\"index\":0,\"name\":\"get_clipboard\",\"arguments\":\"\"},{\"index\":0,\"name\":\"\"}]}]")
            << true << QStringList{} << "a|get_clipboard|;c|list_files|";
        QTest::newRow("only nameless tool calls") << QByteArray("[{\"toolCalls\":[{\"index\":0,\"id\":\"a\",\"arguments\":\"{}\"}]}]")
                                                  << true << QStringList{} << "none";
        QTest::newRow("content and tool calls together")
            << QByteArray("[{\"chunks\":[\"Opening.\"],\"toolCalls\":[{\"id\":\"\",\"name\":\"open_app\",\"arguments\":\"{\\\"ok\\\":true,\\\"n\\\":1.5,\\\"o\\\":{\\\"a\\\":[1]}}\"}]}]")
            << true << QStringList{"Opening."} << "|open_app|n=1.5,o={\"a\":[1]},ok=true";
    }

    void replyShapes()
    {
        QFETCH(QByteArray, replies);
        QFETCH(bool, withTools);
        QFETCH(QStringList, fragments);
        QFETCH(QString, toolCalls);

        FakeEngineProcess engine;
        QVERIFY(engine.start(parseArray(replies)));
        LLMClient client(engine.baseURL());
        const Outcome outcome = run(client, withTools ? someTools : QJsonArray{});
        QVERIFY2(std::holds_alternative<LLMReply>(outcome.result),
                 qPrintable(std::get_if<LLMError>(&outcome.result) ? std::get<LLMError>(outcome.result).description : QString()));
        const LLMReply reply = std::get<LLMReply>(outcome.result);
        QCOMPARE(outcome.fragments, fragments);
        QCOMPARE(reply.content, fragments.join(QString()));
        QCOMPARE(describe(reply.toolCalls), toolCalls);
        for (const ToolCall &call : reply.toolCalls.value_or(QList<ToolCall>{}))
            QVERIFY(call.status == ToolStatus::pending && !call.result);
    }

    void generatedToolCallId()
    {
        FakeEngineProcess engine;
        QVERIFY(engine.start(parseArray("[{\"toolCalls\":[{\"name\":\"get_system_info\"},{\"id\":\"ignored\",\"arguments\":\"{\\\"a\\\":\\\"b\\\"}\"}]}]")));
        LLMClient client(engine.baseURL());
        const LLMReply reply = std::get<LLMReply>(run(client, someTools).result);
        QVERIFY(reply.toolCalls && reply.toolCalls->size() == 1);
        const ToolCall call = reply.toolCalls->first();
        QCOMPARE(call.name, QStringLiteral("get_system_info"));
        QCOMPARE(call.arguments, (QMap<QString, QString>{{"a", "b"}}));
        QVERIFY(!QUuid(call.id).isNull());
        QCOMPARE(call.id, call.id.toUpper());
    }

    void errors_data()
    {
        QTest::addColumn<QByteArray>("replies");
        QTest::addColumn<QStringList>("fragments");
        QTest::addColumn<QString>("domain");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("description");

        QTest::newRow("400 with an error body")
            << QByteArray("[{\"status\":400,\"body\":{\"error\":{\"code\":400,\"message\":\"tools not supported\",\"type\":\"invalid_request_error\"}}}]")
            << QStringList{} << "LLM" << 400 << "tools not supported";
        QTest::newRow("500 with an empty body") << QByteArray("[{\"status\":500,\"rawBody\":\"\"}]") << QStringList{} << "LLM" << 500
                                                << "Server error 500";
        QTest::newRow("500 with HTML") << QByteArray("[{\"status\":500,\"rawBody\":\"<html>oops</html>\"}]") << QStringList{} << "LLM" << 500
                                       << "Server error 500";
        QTest::newRow("503 with a message that is not text")
            << QByteArray("[{\"status\":503,\"body\":{\"error\":{\"message\":7}}}]") << QStringList{} << "LLM" << 503 << "Server error 503";
        QTest::newRow("tools refused with 500") << QByteArray("[{\"whenTools\":{\"status\":500,\"body\":{\"error\":{\"code\":500,\"message\":\"Cannot use tools with stream\",\"type\":\"server_error\"}}}}]")
                                                << QStringList{} << "LLM" << 500 << "Cannot use tools with stream";
    }

    void errors()
    {
        QFETCH(QByteArray, replies);
        QFETCH(QStringList, fragments);
        QFETCH(QString, domain);
        QFETCH(int, code);
        QFETCH(QString, description);

        FakeEngineProcess engine;
        QVERIFY(engine.start(parseArray(replies)));
        LLMClient client(engine.baseURL());
        const Outcome outcome = run(client, someTools);
        QVERIFY(std::holds_alternative<LLMError>(outcome.result));
        const LLMError error = std::get<LLMError>(outcome.result);
        QCOMPARE(outcome.fragments, fragments);
        QCOMPARE(error.domain, domain);
        QCOMPARE(error.code, code);
        QCOMPARE(error.description, description);
        QVERIFY(!error.isCancellation());
    }

    // Qt ends a chunked answer cut by a closed connection like a complete one more often than it
    // reports the lost connection, so both outcomes are accepted; what must hold is that the
    // fragments already shown stay delivered and the call returns.
    void engineDiesMidStream()
    {
        FakeEngineProcess engine;
        QVERIFY(engine.start(parseArray("[{\"chunks\":[\"a\",\"b\"],\"crash\":true}]")));
        LLMClient client(engine.baseURL());
        const Outcome outcome = run(client);
        QCOMPARE(outcome.fragments, (QStringList{"a", "b"}));
        if (const auto *error = std::get_if<LLMError>(&outcome.result)) {
            QCOMPARE(error->domain, QStringLiteral("Network"));
            QCOMPARE(error->code, int(QNetworkReply::RemoteHostClosedError));
        } else {
            QCOMPARE(std::get<LLMReply>(outcome.result).content, QStringLiteral("ab"));
        }
        QTRY_VERIFY(!engine.isRunning());
    }

    void transportFailures_data()
    {
        QTest::addColumn<QString>("baseURL");
        QTest::addColumn<int>("code");
        QTest::newRow("nothing listening") << QStringLiteral("http://127.0.0.1:%1").arg(FakeEngineProcess::freePort())
                                           << int(QNetworkReply::ConnectionRefusedError);
        QTest::newRow("not a URL") << QStringLiteral("http://127.0.0.1:port") << int(QNetworkReply::ProtocolUnknownError);
    }

    void transportFailures()
    {
        QFETCH(QString, baseURL);
        QFETCH(int, code);
        LLMClient client(baseURL);
        const Outcome outcome = run(client);
        const LLMError error = std::get<LLMError>(outcome.result);
        QCOMPARE(error.domain, QStringLiteral("Network"));
        QCOMPARE(error.code, code);
        QVERIFY(!error.description.isEmpty());
    }

    void requestBody()
    {
        FakeEngineProcess engine;
        QVERIFY(engine.start(parseArray("[{\"chunks\":[\"ok\"]}]")));
        LLMClient client(engine.baseURL());
        const QList<Message> history{
            Message::make(Roles::system, "an old system line"),
            Message::make(Roles::user, ""),
            Message::make(Roles::assistant, " \n\t\r\n "),
            Message::make(Roles::user, "  Open the calculator\n"),
            Message::make(Roles::assistant, "TOOL_CALL: {\"tool\":\"open_app\"}", QList<ToolCall>{ToolCall::make("open_app", {})}),
            Message::make(Roles::toolResult, "Opened Calculator"),
        };
        run(client, someTools, history);
        QCoro::waitFor(client.streamChat({}, QString(), 0.25, 1, {}, {}));

        const QList<QJsonObject> bodies = engine.requests();
        QCOMPARE(bodies.size(), 2);
        const QJsonObject expected{
            {"model", "local"},
            {"stream", true},
            {"temperature", 0.7},
            {"max_tokens", 256},
            {"tools", someTools},
            {"messages", parseArray("[{\"role\":\"system\",\"content\":\"Be brief.\"},{\"role\":\"user\",\"content\":\"  Open the calculator\\n\"},{\"role\":\"assistant\",\"content\":\"TOOL_CALL: {\\\"tool\\\":\\\"open_app\\\"}\"},{\"role\":\"user\",\"content\":\"Opened Calculator\"}]")},
        };
        QCOMPARE(bodies.at(0), expected);
        const QJsonObject bare{{"model", "local"},
                               {"stream", true},
                               {"temperature", 0.25},
                               {"max_tokens", 1},
                               {"messages", parseArray("[{\"role\":\"system\",\"content\":\"\"}]")}};
        QCOMPARE(bodies.at(1), bare);
    }

    void cancellation_data()
    {
        QTest::addColumn<bool>("fromCallback");
        QTest::newRow("from the fragment callback") << true;
        QTest::newRow("from the event loop while waiting") << false;
    }

    // The engine sends one fragment and then holds the stream open: the fragment must reach the
    // caller before the answer ends, and cancelling must end the call.
    void cancellation()
    {
        QFETCH(bool, fromCallback);
        FakeEngineProcess engine;
        QVERIFY(engine.start(parseArray("[{\"chunks\":[\"first\"],\"hold\":true},{\"chunks\":[\"again\"]}]")));
        LLMClient client(engine.baseURL());
        QStringList fragments;
        const LLMResult result = QCoro::waitFor(client.streamChat(
            {Message::make(Roles::user, "Hi")}, QString(), 0.7, 16, {}, [&](const QString &fragment) {
                fragments.append(fragment);
                if (fromCallback)
                    client.cancel();
                else
                    QTimer::singleShot(50, &client, &LLMClient::cancel);
            }));
        QCOMPARE(fragments, QStringList{"first"});
        QVERIFY(std::holds_alternative<LLMError>(result));
        QVERIFY(std::get<LLMError>(result).isCancellation());

        // The client stays usable for the next turn.
        const Outcome next = run(client);
        QCOMPARE(std::get<LLMReply>(next.result).content, QStringLiteral("again"));
        client.cancel(); // nothing in flight: harmless
    }

    void multiMegabyteLines()
    {
        const QString big(6 * 1024 * 1024, QLatin1Char('x'));
        const QJsonArray lines{QStringLiteral("data: {\"choices\":[{\"delta\":{\"content\":\"") + big, chunkLine(big), chunkLine("end"),
                               "data: [DONE]"};
        FakeEngineProcess engine;
        QVERIFY(engine.start(QJsonArray{QJsonObject{{"lines", lines}}}));
        LLMClient client(engine.baseURL());
        const Outcome outcome = run(client);
        const LLMReply reply = std::get<LLMReply>(outcome.result);
        QCOMPARE(outcome.fragments.size(), 2);
        QCOMPARE(reply.content.size(), big.size() + 3);
        QVERIFY(reply.content == big + QStringLiteral("end"));
    }
};

QTEST_GUILESS_MAIN(TestLLMClient)
#include "tst_llm_client.moc"
