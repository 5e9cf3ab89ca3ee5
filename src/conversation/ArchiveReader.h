#pragma once

#include "conversation/ChatSession.h"

#include <QByteArray>
#include <QList>
#include <optional>

// A strict pull reader for the chat archive that decodes straight into the records, without
// building a JSON document first: a cold start with a large archive spends most of its time here.
// The rules are the archive's own: required members with the right type, null or missing
// optionals, unknown members ignored, one bad element fails the whole archive.
class ArchiveReader
{
public:
    explicit ArchiveReader(const char *begin, const char *end) : m_p(begin), m_end(end) {}

    // The white space JSON allows between tokens; nothing else (no form feed, no vertical tab).
    static bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

    // The whole text must be one array of sessions.
    std::optional<QList<ChatSession>> readArchive();
    // The whole text must be sessions separated by commas, as between an archive's brackets.
    // Large archives are read in such runs, one per core.
    std::optional<QList<ChatSession>> readSessionRun();

private:
    bool readSession(ChatSession &session);
    bool appendSession(QList<ChatSession> &sessions);
    std::optional<QList<ChatSession>> finish(bool ok, QList<ChatSession> &sessions);
    bool readMessage(Message &message);
    bool readToolCall(ToolCall &call);

    // Iterates the members of an object: calls member(key) for each, which must consume the value.
    template<typename Member>
    bool readObject(Member &&member);
    template<typename Element>
    bool readArray(Element &&element);

    bool readString(QString &out);
    bool readNumber(double &out);
    bool readBool(bool &out);
    bool readNull();
    bool peekNull();
    bool skipValue(int depth = 0);
    bool readUuid(QUuid &out);
    bool readDate(QDateTime &out);
    bool readOptionalString(std::optional<QString> &out);

    void skipSpace();
    bool consume(char c);
    bool fail() { m_ok = false; return false; }

    const char *m_p;
    const char *m_end;
    bool m_ok = true;
};
