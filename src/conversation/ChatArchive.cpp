#include "conversation/ChatArchive.h"

#include "conversation/Identifiers.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace ChatArchive {

namespace {

// Reads one required or optional member with the exact JSON type; any mismatch fails the decode.
struct Reader
{
    const QJsonObject &object;
    bool ok = true;

    QJsonValue required(const char *key, QJsonValue::Type type)
    {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.type() != type)
            ok = false;
        return value;
    }

    // Missing and null both mean absent.
    std::optional<QJsonValue> optional(const char *key, QJsonValue::Type type)
    {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isUndefined() || value.isNull())
            return std::nullopt;
        if (value.type() != type) {
            ok = false;
            return std::nullopt;
        }
        return value;
    }

    QUuid uuid(const char *key)
    {
        const QUuid id = Identifiers::parseUuid(required(key, QJsonValue::String).toString());
        if (id.isNull())
            ok = false;
        return id;
    }

    QDateTime date(const char *key)
    {
        return Identifiers::dateFromReferenceSeconds(required(key, QJsonValue::Double).toDouble());
    }
};

std::optional<ToolCall> decodeToolCall(const QJsonValue &value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    Reader r{object};
    ToolCall call;
    call.id = r.required("id", QJsonValue::String).toString();
    call.name = r.required("name", QJsonValue::String).toString();
    const QJsonObject arguments = r.required("arguments", QJsonValue::Object).toObject();
    for (auto it = arguments.begin(); it != arguments.end(); ++it) {
        if (!it.value().isString())
            return std::nullopt;
        call.arguments.insert(it.key(), it.value().toString());
    }
    const auto status = toolStatusFromRawValue(r.required("status", QJsonValue::String).toString());
    if (!status)
        return std::nullopt;
    call.status = *status;
    if (const auto result = r.optional("result", QJsonValue::String))
        call.result = result->toString();
    if (!r.ok)
        return std::nullopt;
    return call;
}

std::optional<Message> decodeMessage(const QJsonValue &value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    Reader r{object};
    Message message;
    message.id = r.uuid("id");
    message.role = r.required("role", QJsonValue::String).toString();
    message.content = r.required("content", QJsonValue::String).toString();
    message.timestamp = r.date("timestamp");
    if (const auto calls = r.optional("toolCalls", QJsonValue::Array)) {
        QList<ToolCall> list;
        for (const QJsonValue &item : calls->toArray()) {
            const auto call = decodeToolCall(item);
            if (!call)
                return std::nullopt;
            list.append(*call);
        }
        message.toolCalls = list;
    }
    if (!r.ok)
        return std::nullopt;
    return message;
}

std::optional<ChatSession> decodeSession(const QJsonValue &value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    Reader r{object};
    ChatSession session;
    session.id = r.uuid("id");
    session.title = r.required("title", QJsonValue::String).toString();
    const QJsonArray messages = r.required("messages", QJsonValue::Array).toArray();
    session.messages.reserve(messages.size());
    for (const QJsonValue &item : messages) {
        const auto message = decodeMessage(item);
        if (!message)
            return std::nullopt;
        session.messages.append(*message);
    }
    session.createdAt = r.date("createdAt");
    session.updatedAt = r.date("updatedAt");
    if (const auto prompt = r.optional("systemPromptOverride", QJsonValue::String))
        session.systemPromptOverride = prompt->toString();
    session.isPinned = r.required("isPinned", QJsonValue::Bool).toBool();
    if (!r.ok)
        return std::nullopt;
    return session;
}

} // namespace

QJsonObject encodeToolCall(const ToolCall &call)
{
    QJsonObject arguments;
    for (auto it = call.arguments.begin(); it != call.arguments.end(); ++it)
        arguments.insert(it.key(), it.value());
    QJsonObject object{
        {QStringLiteral("id"), call.id},
        {QStringLiteral("name"), call.name},
        {QStringLiteral("arguments"), arguments},
        {QStringLiteral("status"), toolStatusRawValue(call.status)},
    };
    if (call.result)
        object.insert(QStringLiteral("result"), *call.result);
    return object;
}

QJsonObject encodeMessage(const Message &message)
{
    QJsonObject object{
        {QStringLiteral("id"), Identifiers::uuidText(message.id)},
        {QStringLiteral("role"), message.role},
        {QStringLiteral("content"), message.content},
        {QStringLiteral("timestamp"), Identifiers::referenceSeconds(message.timestamp)},
    };
    if (message.toolCalls) {
        QJsonArray calls;
        for (const ToolCall &call : *message.toolCalls)
            calls.append(encodeToolCall(call));
        object.insert(QStringLiteral("toolCalls"), calls);
    }
    return object;
}

QJsonObject encodeSession(const ChatSession &session)
{
    QJsonArray messages;
    for (const Message &message : session.messages)
        messages.append(encodeMessage(message));
    QJsonObject object{
        {QStringLiteral("id"), Identifiers::uuidText(session.id)},
        {QStringLiteral("title"), session.title},
        {QStringLiteral("messages"), messages},
        {QStringLiteral("createdAt"), Identifiers::referenceSeconds(session.createdAt)},
        {QStringLiteral("updatedAt"), Identifiers::referenceSeconds(session.updatedAt)},
        {QStringLiteral("isPinned"), session.isPinned},
    };
    if (session.systemPromptOverride)
        object.insert(QStringLiteral("systemPromptOverride"), *session.systemPromptOverride);
    return object;
}

QByteArray encode(const QList<ChatSession> &sessions)
{
    QJsonArray array;
    for (const ChatSession &session : sessions)
        array.append(encodeSession(session));
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

std::optional<QList<ChatSession>> decode(const QByteArray &json)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return std::nullopt;
    const QJsonArray array = document.array();
    QList<ChatSession> sessions;
    sessions.reserve(array.size());
    for (const QJsonValue &item : array) {
        auto session = decodeSession(item);
        if (!session)
            return std::nullopt;
        sessions.append(std::move(*session));
    }
    return sessions;
}

} // namespace ChatArchive
