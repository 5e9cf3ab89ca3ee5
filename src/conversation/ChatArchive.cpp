#include "conversation/ChatArchive.h"

#include "conversation/ArchiveReader.h"
#include "conversation/Identifiers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include <cctype>
#include <future>

namespace ChatArchive {

namespace {

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
    // Written only when known, so archives without them stay exactly as they were.
    if (!message.model.isEmpty())
        object.insert(QStringLiteral("model"), message.model);
    if (!message.server.isEmpty())
        object.insert(QStringLiteral("server"), message.server);
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

namespace {

std::optional<QList<ChatSession>> decodeArray(const QByteArray &json)
{
    return ArchiveReader(json.constBegin(), json.constEnd()).readArchive();
}

// Offsets just past each top-level element of a JSON array, found by tracking strings and
// nesting only. Empty when the text is not shaped like an array of objects; the full parser
// then gives the verdict.
QList<qsizetype> topLevelElementEnds(const QByteArray &json)
{
    QList<qsizetype> ends;
    const char *data = json.constData();
    const qsizetype size = json.size();
    qsizetype i = 0;
    while (i < size && std::isspace(static_cast<unsigned char>(data[i])))
        ++i;
    if (i == size || data[i] != '[')
        return {};
    int depth = 0;
    bool inString = false;
    for (++i; i < size; ++i) {
        const char c = data[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (depth == 0)
                return ends; // the closing bracket of the archive
            if (--depth == 0)
                ends.append(i + 1);
        }
    }
    return {};
}

} // namespace

std::optional<QList<ChatSession>> decode(const QByteArray &json)
{
    // A large archive is parsed in slices on every core, so a cold start stays quick. Each slice
    // is a complete array of whole sessions; the rules for each element are the same.
    constexpr qsizetype parallelThreshold = 4 * 1024 * 1024;
    const int slices = std::max(1, QThread::idealThreadCount());
    if (json.size() < parallelThreshold || slices == 1)
        return decodeArray(json);
    const QList<qsizetype> ends = topLevelElementEnds(json);
    if (ends.size() < slices)
        return decodeArray(json);

    std::vector<std::future<std::optional<QList<ChatSession>>>> parts;
    qsizetype begin = json.indexOf('[') + 1;
    for (int slice = 0; slice < slices; ++slice) {
        const qsizetype end = ends[(ends.size() * (slice + 1)) / slices - 1];
        QByteArray text = json.mid(begin, end - begin).trimmed();
        if (text.startsWith(','))
            text.remove(0, 1);
        text.prepend('[');
        text.append(']');
        parts.push_back(std::async(std::launch::async, [text = std::move(text)] { return decodeArray(text); }));
        begin = end;
    }
    // What follows the last element must be just the closing bracket.
    if (json.mid(begin).trimmed() != "]")
        return decodeArray(json);

    QList<ChatSession> sessions;
    sessions.reserve(ends.size());
    for (auto &part : parts) {
        auto result = part.get();
        if (!result)
            return std::nullopt;
        sessions.append(std::move(*result));
    }
    return sessions;
}

} // namespace ChatArchive
