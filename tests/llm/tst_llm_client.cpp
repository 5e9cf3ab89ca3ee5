// The completions client against the fake engine, a real child process on a loopback port.
#include "FakeEngineProcess.h"
#include "llm/LLMClient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QTest>
#include <QTimer>
#include <QUuid>

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

// One reply: these content fragments, then these tool-call deltas.
QJsonArray toolCallReply(const QJsonArray &deltas, const QJsonArray &chunks = {})
{
    return {QJsonObject{{"chunks", chunks}, {"toolCalls", deltas}}};
}

struct Outcome { LLMResult result; QStringList fragments; };

Outcome run(LLMClient &client, const QJsonArray &tools = {}, const QList<Message> &history = {Message::make(Roles::user, "Hi")})
{
    Outcome outcome;
    outcome.result = QCoro::waitFor(client.streamChat(history, QStringLiteral("Be brief."), 0.7, 256, tools,
                                                      [&outcome](const QString &fragment) { outcome.fragments << fragment; }));
    return outcome;
}

// A result as one comparable text: "<domain> <code>: <description>" for an error; otherwise the
// tool calls as "id|name|key=value,…" joined by ";", or "none", then " @<tokens per second>"
// when the engine reported its speed. A generated id, an upper-case
// UUID like every id the app writes, shows as "<uuid>"; a call not left pending shows "!".
QString describe(const LLMResult &result)
{
    if (const auto *error = std::get_if<LLMError>(&result))
        return QStringLiteral("%1 %2: %3").arg(error->domain).arg(error->code).arg(error->description);
    const LLMReply &reply = std::get<LLMReply>(result);
    // The engine's own speed figure, when its last chunk carried one.
    const QString speed = reply.tokensPerSecond ? QStringLiteral(" @%1").arg(*reply.tokensPerSecond) : QString();
    const std::optional<QList<ToolCall>> &calls = reply.toolCalls;
    if (!calls)
        return QStringLiteral("none") + speed;
    QStringList described;
    for (const ToolCall &call : *calls) {
        QStringList arguments;
        for (auto it = call.arguments.begin(); it != call.arguments.end(); ++it)
            arguments << it.key() + QLatin1Char('=') + it.value();
        const bool generated = !QUuid(call.id).isNull() && call.id == call.id.toUpper();
        described << (generated ? QStringLiteral("<uuid>") : call.id) + QLatin1Char('|') + call.name + QLatin1Char('|')
                + arguments.join(QLatin1Char(',')) + (call.status == ToolStatus::pending && !call.result ? "" : "!");
    }
    return described.join(QLatin1Char(';')) + speed;
}

} // namespace

class TestLLMClient : public QObject
{
    Q_OBJECT

private slots:
    void answers_data()
    {
        QTest::addColumn<QJsonArray>("replies");
        QTest::addColumn<QStringList>("fragments");
        QTest::addColumn<QString>("outcome"); // describe()
        QTest::newRow("content deltas, older engine") << parseArray(R"([{"chunks":["Hel","lo"],"tokensPerSecond":12.5}])")
                                                      << QStringList{"Hel", "lo"} << "none @12.5";
        // A role-only opening chunk with null content, and timings without usage at the end.
        QTest::newRow("content deltas, recent engine") << parseArray(R"([{"engine":"recent","chunks":["Hel","lo"],"tokensPerSecond":3}])")
                                                       << QStringList{"Hel", "lo"} << "none @3";
        // An answer cut off must not pass for a whole one; a finish reason makes it whole.
        QTest::newRow("stream cut without the end marker") << parseArray(R"([{"chunks":["par","tial"],"cut":true}])")
                                                           << QStringList{"par", "tial"} << "LLM 0: The engine closed the reply early";
        QTest::newRow("finish reason, then closed") << QJsonArray{QJsonObject{{"lines", QJsonArray{chunkLine("all"),
                                                        R"(data: {"choices":[{"delta":{},"finish_reason":"stop"}]})"}}}}
                                                    << QStringList{"all"} << "none";
        // Failures after the answer began: recent engines send a data event holding an error,
        // older ones an "error:" event; either ends the request with the engine's message.
        QTest::newRow("error event after text")
            << parseArray(R"([{"chunks":["par"],"error":{"code":500,"message":"Failed to parse tool call","type":"server_error"}}])")
            << QStringList{"par"} << "LLM 500: Failed to parse tool call";
        QTest::newRow("error line of older engines")
            << QJsonArray{QJsonObject{{"lines", QJsonArray{chunkLine("a"), R"(error: {"code":503,"message":"boom","type":"x"})",
                                                           chunkLine("never"), "data: [DONE]"}}}}
            << QStringList{"a"} << "LLM 503: boom";
        const QJsonArray lines{
            "data: {not json", "error: not json", ": keep-alive comment", "event: message",
            chunkLine("no space").replace("data: ", "data:"), "data: {\"choices\":[]}", chunkLine(""),
            "data: {\"delta\":{\"content\":\"no choices\"}}", "data: {\"choices\":[{\"finish_reason\":null}]}",
            "data: {\"choices\":[{\"delta\":{\"content\":\"a\"}},{\"delta\":{\"content\":\"b\"}}]}", chunkLine("crlf") + "\r",
            "data: [1,2]", "data: {\"choices\":[{\"delta\":{\"content\":\"x\"}},{\"index\":1}]}", // a bad choice spoils its chunk
            "data: {\"choices\":[{\"delta\":{\"content\":\"y\"}},{\"delta\":{\"content\":5}}]}",
            "data: {\"choices\":[{\"delta\":{\"content\":\"z\",\"tool_calls\":[{\"index\":\"0\"}]}}]}",
            "data:[DONE]", chunkLine("after the unspaced marker"), "data: [DONE]", chunkLine("after the end")};
        QTest::newRow("malformed and foreign lines are skipped") << QJsonArray{QJsonObject{{"lines", lines}}}
                                                                 << QStringList{"a", "b", "crlf", "after the unspaced marker"} << "none";
        // Far more than one network read: lines are joined across reads, a cut-off one is skipped.
        const QString big(6 * 1024 * 1024, QLatin1Char('x'));
        const QJsonArray bigLines{"data: {\"choices\":[{\"delta\":{\"content\":\"" + big, chunkLine(big), chunkLine("end"), "data: [DONE]"};
        QTest::newRow("lines of megabytes") << QJsonArray{QJsonObject{{"lines", bigLines}}} << QStringList{big, "end"} << "none";

        QTest::newRow("tool call split over two deltas")
            << toolCallReply({QJsonObject{{"index", 0}, {"id", "call-1"}, {"name", "open_app"}, {"arguments", "{\"app_name\":\"Calc"}},
                              QJsonObject{{"index", 0}, {"id", "call-2"}, {"arguments", "ulator\",\"count\":3}"}}})
            << QStringList{} << "call-1|open_app|app_name=Calculator,count=3 @1000";
        QTest::newRow("tool calls ordered by index, nameless dropped, later name replaces")
            << parseArray(R"([{"toolCalls":[{"index":2,"id":"c","name":"list_files","arguments":"not json"},
                                            {"index":1,"id":"b","arguments":"{}"},{"index":0,"id":"a","name":"x","arguments":"[1]"},
                                            {"index":0,"name":"get_clipboard","arguments":""},{"index":0,"name":""}]}])")
            << QStringList{} << "a|get_clipboard|;c|list_files| @1000";
        QTest::newRow("only nameless tool calls") << parseArray(R"([{"toolCalls":[{"index":0,"id":"a","arguments":"{}"}]}])")
                                                  << QStringList{} << "none @1000";
        QTest::newRow("no index and no id: call 0 with a generated id")
            << toolCallReply({QJsonObject{{"name", "get_system_info"}}, QJsonObject{{"id", "ignored"}, {"arguments", "{\"a\":\"b\"}"}}})
            << QStringList{} << "<uuid>|get_system_info|a=b @1000";
        QTest::newRow("content and tool calls together")
            << toolCallReply({QJsonObject{{"id", ""}, {"name", "open_app"}, {"arguments", "{\"ok\":true,\"n\":1.5,\"o\":{\"a\":[1]}}"}}},
                             {"Opening."})
            << QStringList{"Opening."} << "|open_app|n=1.5,o={\"a\":[1]},ok=true @1000";

        QTest::newRow("500 with an empty body") << parseArray(R"([{"status":500,"rawBody":""}])") << QStringList{}
                                                << "LLM 500: Server error 500";
        QTest::newRow("503 with a message that is not text") << parseArray(R"([{"status":503,"body":{"error":{"message":7}}}])")
                                                             << QStringList{} << "LLM 503: Server error 503";
    }

    void answers()
    {
        QFETCH(QJsonArray, replies);
        QFETCH(QStringList, fragments);
        QFETCH(QString, outcome);
        FakeEngineProcess engine;
        QVERIFY(engine.start(replies));
        LLMClient client;
        client.setEndpoint(engine.baseUrl(), QString());
        const Outcome got = run(client);
        QCOMPARE(describe(got.result), outcome);
        QVERIFY2(got.fragments == fragments, qPrintable(got.fragments.join('|').left(300)));
        if (const auto *reply = std::get_if<LLMReply>(&got.result))
            QVERIFY(reply->content == fragments.join(QString()));
    }

    // The first request carries the tools and is refused with 400, as by an engine without tool
    // support; the repeat without them is served. Both bodies as the engine received them.
    void requestBodies()
    {
        FakeEngineProcess engine;
        QVERIFY(engine.start(parseArray(R"([{"whenTools":{"status":400,"body":{"error":{"code":400,"message":"tools not supported"}}}},
                                            {"chunks":["ok"]}])")));
        LLMClient client;
        client.setEndpoint(engine.baseUrl(), QString());
        const QJsonArray tools = parseArray(R"([{"type":"function","function":{"name":"open_app","parameters":{"type":"object"}}}])");
        const QList<Message> history{
            Message::make(Roles::system, "an old system line"), Message::make(Roles::user, ""),
            Message::make(Roles::assistant, " \n\t\r\n "), Message::make(Roles::user, "  Open the calculator\n"),
            Message::make(Roles::assistant, "TOOL_CALL: {\"tool\":\"open_app\"}", QList<ToolCall>{ToolCall::make("open_app", {})}),
            Message::make(Roles::toolResult, "Opened Calculator")};
        QCOMPARE(describe(run(client, tools, history).result), QStringLiteral("LLM 400: tools not supported"));
        const LLMResult repeat = QCoro::waitFor(client.streamChat({}, QString(), 0.25, 1, {}, {}));
        QCOMPARE(std::get<LLMReply>(repeat).content, QStringLiteral("ok"));

        const QList<QJsonObject> bodies = engine.requests();
        QCOMPARE(bodies.size(), 2);
        const auto message = [](const char *role, const char *content) { return QJsonObject{{"role", role}, {"content", content}}; };
        const QJsonArray messages{message("system", "Be brief."), message("user", "  Open the calculator\n"),
                                  message("assistant", "TOOL_CALL: {\"tool\":\"open_app\"}"), message("user", "Opened Calculator")};
        QCOMPARE(bodies.at(0), (QJsonObject{{"model", "local"}, {"stream", true}, {"temperature", 0.7}, {"max_tokens", 256},
                                            {"tools", tools}, {"messages", messages}}));
        QCOMPARE(bodies.at(1), (QJsonObject{{"model", "local"}, {"stream", true}, {"temperature", 0.25}, {"max_tokens", 1},
                                            {"messages", QJsonArray{message("system", "")}}}));
    }

    // Qt ends a chunked answer cut by a closed connection like a complete one more often than it
    // reports the lost connection; either way it is an error, and the fragments already shown
    // stay delivered.
    void engineDiesMidStream()
    {
        FakeEngineProcess engine;
        QVERIFY(engine.start(parseArray(R"([{"chunks":["a","b"],"crash":true}])")));
        LLMClient client;
        client.setEndpoint(engine.baseUrl(), QString());
        const Outcome got = run(client);
        QCOMPARE(got.fragments, (QStringList{"a", "b"}));
        const QString outcome = describe(got.result);
        QVERIFY2(outcome == QLatin1String("LLM 0: The engine closed the reply early")
                     || outcome.startsWith(QStringLiteral("Network %1: ").arg(int(QNetworkReply::RemoteHostClosedError))),
                 qPrintable(outcome));
    }

    void transportFailures_data()
    {
        QTest::addColumn<QUrl>("baseUrl");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("nothing listening") << QUrl(QStringLiteral("http://127.0.0.1:%1/v1").arg(FakeEngineProcess::freePort()))
                                           << QStringLiteral("Network %1: Connection refused").arg(int(QNetworkReply::ConnectionRefusedError));
        QTest::newRow("not a URL") << QUrl(QStringLiteral("http://127.0.0.1:port/v1"))
                                   << QStringLiteral("Network %1: bad URL").arg(int(QNetworkReply::ProtocolUnknownError));
    }

    void transportFailures()
    {
        QFETCH(QUrl, baseUrl);
        QFETCH(QString, outcome);
        LLMClient client;
        client.setEndpoint(baseUrl, QString());
        QCOMPARE(describe(run(client).result), outcome);
    }

    void bearerKey_data()
    {
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("the engine's key") << "k3y" << "none @1000";
        QTest::newRow("no key") << "" << "LLM 401: Invalid API Key";
        QTest::newRow("another key") << "guess" << "LLM 401: Invalid API Key";
    }

    // An engine started with a key serves only requests that carry it as a bearer token.
    void bearerKey()
    {
        QFETCH(QString, sent);
        QFETCH(QString, outcome);
        FakeEngineProcess engine;
        QVERIFY(engine.start(parseArray(R"([{"chunks":["ok"]}])"), QStringLiteral("k3y")));
        LLMClient client;
        client.setEndpoint(engine.baseUrl(), sent);
        QCOMPARE(describe(run(client).result), outcome);
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
        QVERIFY(engine.start(parseArray(R"([{"chunks":["first"],"hold":true},{"chunks":["again"]}])")));
        LLMClient client;
        client.setEndpoint(engine.baseUrl(), QString());
        QStringList fragments;
        const auto onToken = [&](const QString &fragment) {
            fragments << fragment;
            fromCallback ? client.cancel() : QTimer::singleShot(50, &client, &LLMClient::cancel);
        };
        const LLMResult result = QCoro::waitFor(client.streamChat({Message::make(Roles::user, "Hi")}, QString(), 0.7, 16, {}, onToken));
        QCOMPARE(fragments, QStringList{"first"});
        QVERIFY(std::holds_alternative<LLMError>(result) && std::get<LLMError>(result).isCancellation());
        // The client stays usable for the next turn; with nothing in flight, cancelling is harmless.
        QCOMPARE(std::get<LLMReply>(run(client).result).content, QStringLiteral("again"));
        client.cancel();
    }
};

QTEST_GUILESS_MAIN(TestLLMClient)
#include "tst_llm_client.moc"
