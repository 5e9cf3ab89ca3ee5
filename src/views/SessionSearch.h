#pragma once

#include "conversation/ChatSession.h"

#include <QList>
#include <QString>
#include <QStringMatcher>
#include <deque>
#include <vector>

// Which stored sessions contain a search text in their title or any message, case-insensitive.
// The answers to the last few queries are kept while the stored sessions stay the same:
// backspacing returns to a query already answered, and one more character only needs the
// sessions the shorter query kept. Anything else is searched on every core.
class SessionSearch
{
public:
    // Trimmed and lower-cased; empty means "show everything".
    static QString normalizedQuery(const QString &searchQuery);
    // The matcher holds the normalised query, case-insensitive.
    static bool matches(const ChatSession &session, const QStringMatcher &query);

    // One flag per stored session for this normalised, non-empty query. `liveRow` is a session
    // whose messages change without notice (the conversation a reply streams into): it is
    // always searched afresh.
    const std::vector<char> &accepted(const QList<ChatSession> &sessions, const QString &query, int liveRow = -1);
    // The stored sessions changed: earlier answers no longer say anything.
    void forget() { m_answers.clear(); }

private:
    struct Answer
    {
        QString query;
        std::vector<char> rows;
    };
    std::deque<Answer> m_answers; // oldest first
};
