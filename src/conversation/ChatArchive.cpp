#include "conversation/ChatArchive.h"

#include "conversation/ArchiveReader.h"
#include "conversation/Identifiers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include <cstring>
#include <future>

namespace ChatArchive {

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

struct Span
{
    qsizetype begin;
    qsizetype end;
};

// Where each session of the archive begins and ends, found by following strings and nesting
// only; what lies between the sessions is checked as the one-pass reader checks it (JSON white
// space, one comma). Absent when the text is not shaped that way: the one-pass reader then gives
// the verdict, so both ways accept exactly the same archives.
std::optional<QList<Span>> sessionSpans(const QByteArray &json)
{
    const char *data = json.constData();
    const qsizetype size = json.size();
    qsizetype i = 0;
    const auto skipSpace = [&] {
        while (i < size && ArchiveReader::isSpace(data[i]))
            ++i;
    };
    skipSpace();
    if (i == size || data[i] != '[')
        return std::nullopt;
    ++i;
    QList<Span> spans;
    for (;;) {
        skipSpace();
        if (i == size || data[i] != '{')
            return std::nullopt;
        const qsizetype begin = i;
        int depth = 0;
        bool inString = false;
        for (; i < size; ++i) {
            if (inString) {
                // Most of an archive is message text: jump to the next quote, and count the
                // backslashes before it to tell an escaped quote from the string's end.
                const void *quote = std::memchr(data + i, '"', size_t(size - i));
                if (!quote)
                    return std::nullopt;
                const qsizetype at = static_cast<const char *>(quote) - data;
                qsizetype run = at;
                while (run > i && data[run - 1] == '\\')
                    --run;
                i = at;
                inString = (at - run) % 2 == 1;
                continue;
            }
            const char c = data[i];
            if (c == '"') {
                inString = true;
            } else if (c == '{' || c == '[') {
                ++depth;
            } else if ((c == '}' || c == ']') && --depth == 0) {
                break;
            }
        }
        if (i >= size)
            return std::nullopt;
        spans.append({begin, ++i});
        skipSpace();
        if (i < size && data[i] == ',') {
            ++i;
            continue;
        }
        if (i == size || data[i] != ']')
            return std::nullopt;
        ++i;
        skipSpace();
        return i == size ? std::optional(spans) : std::nullopt;
    }
}

} // namespace

std::optional<QList<ChatSession>> decodeInSlices(const QByteArray &json, int slices)
{
    const std::optional<QList<Span>> spans = sessionSpans(json);
    if (!spans || spans->size() < slices)
        return decodeArray(json);

    // Each slice is a run of whole sessions; the reader checks every one of them exactly as it
    // checks them inside one array.
    std::vector<std::future<std::optional<QList<ChatSession>>>> parts;
    qsizetype first = 0;
    for (int slice = 0; slice < slices; ++slice) {
        const qsizetype last = (spans->size() * (slice + 1)) / slices - 1;
        const char *begin = json.constData() + spans->at(first).begin;
        const char *end = json.constData() + spans->at(last).end;
        parts.push_back(std::async(std::launch::async, [begin, end] {
            return ArchiveReader(begin, end).readSessionRun();
        }));
        first = last + 1;
    }
    QList<ChatSession> sessions;
    sessions.reserve(spans->size());
    bool ok = true;
    for (auto &part : parts) {
        auto result = part.get(); // every slice is waited for: they read the caller's bytes
        if (!result)
            ok = false;
        else if (ok)
            sessions.append(std::move(*result));
    }
    if (!ok)
        return std::nullopt;
    return sessions;
}

std::optional<QList<ChatSession>> decode(const QByteArray &json)
{
    // A large archive is parsed in slices on every core, so a cold start stays quick.
    constexpr qsizetype parallelThreshold = 4 * 1024 * 1024;
    const int slices = QThread::idealThreadCount();
    if (json.size() < parallelThreshold || slices < 2)
        return decodeArray(json);
    return decodeInSlices(json, slices);
}

} // namespace ChatArchive
