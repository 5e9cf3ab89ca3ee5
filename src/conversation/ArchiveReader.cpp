#include "conversation/ArchiveReader.h"

#include "conversation/Identifiers.h"

#include <charconv>
#include <cstring>

namespace {
constexpr int maxSkipDepth = 512; // unknown members nested deeper are refused, not recursed into
}

void ArchiveReader::skipSpace()
{
    while (m_p < m_end && isSpace(*m_p))
        ++m_p;
}

bool ArchiveReader::consume(char c)
{
    skipSpace();
    if (m_p < m_end && *m_p == c) {
        ++m_p;
        return true;
    }
    return false;
}

template<typename Member>
bool ArchiveReader::readObject(Member &&member)
{
    if (!consume('{'))
        return fail();
    if (consume('}'))
        return true;
    QString key;
    do {
        skipSpace();
        if (!readString(key) || !consume(':') || !member(key))
            return fail();
    } while (consume(','));
    return consume('}') || fail();
}

template<typename Element>
bool ArchiveReader::readArray(Element &&element)
{
    if (!consume('['))
        return fail();
    if (consume(']'))
        return true;
    do {
        if (!element())
            return fail();
    } while (consume(','));
    return consume(']') || fail();
}

bool ArchiveReader::readString(QString &out)
{
    skipSpace();
    if (m_p >= m_end || *m_p != '"')
        return fail();
    const char *start = ++m_p;
    // Fast path: no escapes, one UTF-8 conversion.
    while (m_p < m_end && *m_p != '"' && *m_p != '\\' && static_cast<unsigned char>(*m_p) >= 0x20)
        ++m_p;
    if (m_p < m_end && *m_p == '"') {
        out = QString::fromUtf8(start, m_p - start);
        ++m_p;
        return true;
    }
    QByteArray bytes(start, m_p - start);
    while (m_p < m_end && *m_p != '"') {
        const unsigned char c = static_cast<unsigned char>(*m_p++);
        if (c < 0x20)
            return fail();
        if (c != '\\') {
            bytes.append(char(c));
            continue;
        }
        if (m_p >= m_end)
            return fail();
        const char e = *m_p++;
        switch (e) {
        case '"': bytes.append('"'); break;
        case '\\': bytes.append('\\'); break;
        case '/': bytes.append('/'); break;
        case 'b': bytes.append('\b'); break;
        case 'f': bytes.append('\f'); break;
        case 'n': bytes.append('\n'); break;
        case 'r': bytes.append('\r'); break;
        case 't': bytes.append('\t'); break;
        case 'u': {
            const auto hex4 = [&](char32_t &value) {
                if (m_end - m_p < 4)
                    return false;
                unsigned parsed = 0;
                const auto [stop, error] = std::from_chars(m_p, m_p + 4, parsed, 16);
                if (error != std::errc() || stop != m_p + 4)
                    return false;
                value = char32_t(parsed);
                m_p += 4;
                return true;
            };
            char32_t code = 0;
            if (!hex4(code))
                return fail();
            // A high surrogate joins the low one that follows; a lone one becomes U+FFFD.
            const bool pairFollows = code >= 0xD800 && code <= 0xDBFF && m_end - m_p >= 6
                                     && m_p[0] == '\\' && m_p[1] == 'u';
            if (pairFollows) {
                const char *rewind = m_p;
                m_p += 2;
                char32_t low = 0;
                if (hex4(low) && low >= 0xDC00 && low <= 0xDFFF)
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                else
                    m_p = rewind;
            }
            bytes.append(QString::fromUcs4(&code, 1).toUtf8());
            break;
        }
        default:
            return fail();
        }
    }
    if (m_p >= m_end)
        return fail();
    ++m_p;
    out = QString::fromUtf8(bytes);
    return true;
}

bool ArchiveReader::readNumber(double &out)
{
    // JSON's number grammar, checked here because the conversion below is more lenient; the
    // conversion itself ignores the user's locale, so a comma-decimal desktop reads "10.5" too.
    skipSpace();
    const char *start = m_p;
    const auto digits = [&] {
        const char *first = m_p;
        while (m_p < m_end && *m_p >= '0' && *m_p <= '9')
            ++m_p;
        return m_p > first;
    };
    if (m_p < m_end && *m_p == '-')
        ++m_p;
    if (m_p < m_end && *m_p == '0')
        ++m_p;
    else if (!digits())
        return fail();
    if (m_p < m_end && *m_p == '.') {
        ++m_p;
        if (!digits())
            return fail();
    }
    if (m_p < m_end && (*m_p == 'e' || *m_p == 'E')) {
        ++m_p;
        if (m_p < m_end && (*m_p == '+' || *m_p == '-'))
            ++m_p;
        if (!digits())
            return fail();
    }
    const auto [stop, error] = std::from_chars(start, m_p, out);
    // Out of range (1e400) is an error, not infinity.
    return (error == std::errc() && stop == m_p) || fail();
}

bool ArchiveReader::readBool(bool &out)
{
    skipSpace();
    if (m_end - m_p >= 4 && std::memcmp(m_p, "true", 4) == 0) {
        m_p += 4;
        out = true;
        return true;
    }
    if (m_end - m_p >= 5 && std::memcmp(m_p, "false", 5) == 0) {
        m_p += 5;
        out = false;
        return true;
    }
    return fail();
}

bool ArchiveReader::peekNull()
{
    skipSpace();
    return m_end - m_p >= 4 && std::memcmp(m_p, "null", 4) == 0;
}

bool ArchiveReader::readNull()
{
    if (!peekNull())
        return fail();
    m_p += 4;
    return true;
}

bool ArchiveReader::skipValue(int depth)
{
    if (depth > maxSkipDepth)
        return fail();
    skipSpace();
    if (m_p >= m_end)
        return fail();
    QString text;
    double number = 0;
    bool flag = false;
    switch (*m_p) {
    case '{':
        return readObject([&](const QString &) { return skipValue(depth + 1); });
    case '[':
        return readArray([&] { return skipValue(depth + 1); });
    case '"':
        return readString(text);
    case 't':
    case 'f':
        return readBool(flag);
    case 'n':
        return readNull();
    default:
        return readNumber(number);
    }
}

bool ArchiveReader::readUuid(QUuid &out)
{
    QString text;
    if (!readString(text))
        return false;
    out = Identifiers::parseUuid(text);
    return !out.isNull() || fail();
}

bool ArchiveReader::readDate(QDateTime &out)
{
    double seconds = 0;
    if (!readNumber(seconds))
        return false;
    const std::optional<QDateTime> date = Identifiers::dateFromReferenceSeconds(seconds);
    if (!date)
        return fail();
    out = *date;
    return true;
}

bool ArchiveReader::readOptionalString(std::optional<QString> &out)
{
    if (peekNull())
        return readNull();
    QString text;
    if (!readString(text))
        return false;
    out = text;
    return true;
}

bool ArchiveReader::readToolCall(ToolCall &call)
{
    bool id = false, name = false, arguments = false, status = false;
    const bool ok = readObject([&](const QString &key) {
        if (key == QLatin1String("id"))
            return id = readString(call.id);
        if (key == QLatin1String("name"))
            return name = readString(call.name);
        if (key == QLatin1String("arguments")) {
            call.arguments.clear();
            return arguments = readObject([&](const QString &argument) {
                QString value;
                if (!readString(value))
                    return false;
                call.arguments.insert(argument, value);
                return true;
            });
        }
        if (key == QLatin1String("status")) {
            QString raw;
            if (!readString(raw))
                return false;
            const auto value = toolStatusFromRawValue(raw);
            if (!value)
                return fail();
            call.status = *value;
            return status = true;
        }
        if (key == QLatin1String("result"))
            return readOptionalString(call.result);
        return skipValue();
    });
    return (ok && id && name && arguments && status) || fail();
}

bool ArchiveReader::readMessage(Message &message)
{
    bool id = false, role = false, content = false, timestamp = false;
    const bool ok = readObject([&](const QString &key) {
        if (key == QLatin1String("id"))
            return id = readUuid(message.id);
        if (key == QLatin1String("role"))
            return role = readString(message.role);
        if (key == QLatin1String("content"))
            return content = readString(message.content);
        if (key == QLatin1String("timestamp"))
            return timestamp = readDate(message.timestamp);
        if (key == QLatin1String("toolCalls")) {
            if (peekNull()) {
                message.toolCalls.reset();
                return readNull();
            }
            QList<ToolCall> calls;
            const bool read = readArray([&] {
                ToolCall call;
                if (!readToolCall(call))
                    return false;
                calls.append(std::move(call));
                return true;
            });
            message.toolCalls = std::move(calls);
            return read;
        }
        if (key == QLatin1String("model"))
            return readString(message.model);
        if (key == QLatin1String("server"))
            return readString(message.server);
        return skipValue();
    });
    return (ok && id && role && content && timestamp) || fail();
}

bool ArchiveReader::readSession(ChatSession &session)
{
    bool id = false, title = false, messages = false, created = false, updated = false, pinned = false;
    const bool ok = readObject([&](const QString &key) {
        if (key == QLatin1String("id"))
            return id = readUuid(session.id);
        if (key == QLatin1String("title"))
            return title = readString(session.title);
        if (key == QLatin1String("messages")) {
            session.messages.clear();
            return messages = readArray([&] {
                Message message;
                if (!readMessage(message))
                    return false;
                session.messages.append(std::move(message));
                return true;
            });
        }
        if (key == QLatin1String("createdAt"))
            return created = readDate(session.createdAt);
        if (key == QLatin1String("updatedAt"))
            return updated = readDate(session.updatedAt);
        if (key == QLatin1String("systemPromptOverride"))
            return readOptionalString(session.systemPromptOverride);
        if (key == QLatin1String("isPinned"))
            return pinned = readBool(session.isPinned);
        return skipValue();
    });
    return (ok && id && title && messages && created && updated && pinned) || fail();
}

bool ArchiveReader::appendSession(QList<ChatSession> &sessions)
{
    ChatSession session;
    if (!readSession(session))
        return false;
    sessions.append(std::move(session));
    return true;
}

std::optional<QList<ChatSession>> ArchiveReader::finish(bool ok, QList<ChatSession> &sessions)
{
    skipSpace();
    if (!ok || !m_ok || m_p != m_end)
        return std::nullopt;
    return std::move(sessions);
}

std::optional<QList<ChatSession>> ArchiveReader::readArchive()
{
    QList<ChatSession> sessions;
    const bool ok = readArray([&] { return appendSession(sessions); });
    return finish(ok, sessions);
}

std::optional<QList<ChatSession>> ArchiveReader::readSessionRun()
{
    QList<ChatSession> sessions;
    bool ok = true;
    do
        ok = appendSession(sessions);
    while (ok && consume(','));
    return finish(ok, sessions);
}
