#pragma once

#include "agent/SystemPrompt.h"

#include <QString>

// sanitizeReply for a reply that arrives in fragments. Complete lines are judged once, when
// their line feed arrives; only the unfinished last line is judged again, from facts gathered
// as it grows, so the cost of a fragment does not depend on how long the reply already is.
// text() always equals sanitizeReply of everything appended.
class StreamingSanitizer
{
public:
    void append(QStringView fragment);
    QString text() const;
    void clear() { *this = StreamingSanitizer(); }

private:
    void growLine(QStringView piece);
    void finishLine();
    bool lineDisplayable() const;

    // Kept complete lines, joined with line feeds.
    QString m_kept;
    qsizetype m_keptLines = 0;
    qsizetype m_keptBegin = -1; // first character that is not white space, -1 = none
    qsizetype m_keptEnd = 0;    // one past the last such character

    // The unfinished last line and what is known about it so far.
    QString m_line;
    qsizetype m_lineSolidBegin = -1; // first character that is not a space or tab
    qsizetype m_lineSolidEnd = 0;    // one past the last such character
    qsizetype m_lineBegin = -1;      // first character that is not white space
    qsizetype m_lineEnd = 0;         // one past the last such character
    qsizetype m_lineCloseBracket = -1;
    bool m_lineMentionsEmptyOrContains = false;
};
