#include "StreamPlan.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

// The fields the real engine puts around every chunk; clients must ignore them.
QJsonObject chunkEnvelope(const QJsonObject &choice)
{
    return QJsonObject{{"choices", QJsonArray{choice}},
                       {"created", QDateTime::currentSecsSinceEpoch()},
                       {"id", "chatcmpl-fake"},
                       {"model", "local"},
                       {"system_fingerprint", "b4748-fake"},
                       {"object", "chat.completion.chunk"}};
}

QByteArray dataEvent(const QJsonObject &object)
{
    return "data: " + QJsonDocument(object).toJson(QJsonDocument::Compact) + "\n\n";
}

QByteArray contentEvent(const QString &text)
{
    return dataEvent(chunkEnvelope(QJsonObject{{"index", 0},
                                               {"finish_reason", QJsonValue::Null},
                                               {"delta", QJsonObject{{"content", text}}}}));
}

// A scripted tool-call delta {"index","id","name","arguments"}: only the keys present are sent.
QByteArray toolCallEvent(const QJsonObject &scripted)
{
    QJsonObject call;
    if (scripted.contains("index"))
        call.insert("index", scripted.value("index"));
    if (scripted.contains("id"))
        call.insert("id", scripted.value("id"));
    call.insert("type", "function");
    QJsonObject function;
    if (scripted.contains("name"))
        function.insert("name", scripted.value("name"));
    if (scripted.contains("arguments"))
        function.insert("arguments", scripted.value("arguments"));
    call.insert("function", function);
    return dataEvent(chunkEnvelope(QJsonObject{{"index", 0},
                                               {"finish_reason", QJsonValue::Null},
                                               {"delta", QJsonObject{{"tool_calls", QJsonArray{call}}}}}));
}

} // namespace

StreamPlan StreamPlan::fromReply(const QJsonObject &reply)
{
    StreamPlan plan;
    plan.status = reply.value("status").toInt(200);
    if (reply.contains("body")) {
        plan.streamed = false;
        plan.contentType = "application/json; charset=utf-8";
        plan.body = QJsonDocument(reply.value("body").toObject()).toJson(QJsonDocument::Compact);
    } else if (reply.contains("rawBody")) {
        plan.streamed = false;
        plan.body = reply.value("rawBody").toString().toUtf8();
        plan.contentType = reply.value("contentType").toString(plan.body.startsWith('<') ? "text/html" : "text/plain").toUtf8();
    } else if (plan.status != 200) {
        plan.streamed = false;
    }
    if (!plan.streamed)
        return plan;

    plan.contentType = "text/event-stream";
    plan.delayMs = reply.value("delayMs").toInt(0);
    plan.recentEngine = reply.value("engine").toString() == QLatin1String("recent");
    plan.tokensPerSecond = reply.value("tokensPerSecond").toDouble(plan.tokensPerSecond);
    if (plan.recentEngine)
        plan.events.append(dataEvent(chunkEnvelope(QJsonObject{
            {"index", 0}, {"finish_reason", QJsonValue::Null},
            {"delta", QJsonObject{{"role", "assistant"}, {"content", QJsonValue::Null}}}})));
    for (const QJsonValue &chunk : reply.value("chunks").toArray())
        plan.events.append(contentEvent(chunk.toString()));
    if (reply.contains("repeat")) {
        // Identical events share one buffer, so even long replies cost little memory here.
        const QByteArray event = contentEvent(reply.value("chunk").toString());
        const int count = reply.value("repeat").toInt();
        plan.events.reserve(plan.events.size() + count);
        for (int i = 0; i < count; ++i)
            plan.events.append(event);
    }
    const QJsonArray toolCalls = reply.value("toolCalls").toArray();
    for (const QJsonValue &call : toolCalls)
        plan.events.append(toolCallEvent(call.toObject()));
    if (!toolCalls.isEmpty())
        plan.finishReason = "tool_calls";
    if (reply.contains("lines")) {
        // Raw lines are the whole stream: nothing is added after them.
        for (const QJsonValue &line : reply.value("lines").toArray())
            plan.events.append(line.toString().toUtf8() + "\n\n");
        plan.ending = Ending::Cut;
    }
    if (reply.contains("error")) {
        // A failure after the answer began: one error event, and the stream closes.
        plan.events.append(dataEvent(QJsonObject{{"error", reply.value("error")}}));
        plan.ending = Ending::Cut;
    }
    if (reply.value("cut").toBool())
        plan.ending = Ending::Cut;
    if (reply.value("crash").toBool())
        plan.ending = Ending::Crash;
    if (reply.value("hold").toBool())
        plan.ending = Ending::Hold;
    return plan;
}

QByteArray StreamPlan::finalEvents() const
{
    QJsonObject last = chunkEnvelope(QJsonObject{{"index", 0},
                                                  {"finish_reason", QString::fromLatin1(finishReason)},
                                                  {"delta", QJsonObject{}}});
    if (!recentEngine)
        last.insert("usage", QJsonObject{{"completion_tokens", events.size()},
                                         {"prompt_tokens", 12},
                                         {"total_tokens", events.size() + 12}});
    if (tokensPerSecond > 0)
        last.insert("timings", QJsonObject{{"prompt_n", 12}, {"predicted_n", events.size()},
                                           {"predicted_per_second", tokensPerSecond}});
    return dataEvent(last) + "data: [DONE]\n\n";
}
