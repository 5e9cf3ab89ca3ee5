#pragma once

#include "agent/SystemPrompt.h"

#include <QString>
#include <optional>

// sanitizeReply for a reply that arrives in fragments. Complete lines are judged once, when
// their line feed arrives; only the unfinished last line is judged again, from facts gathered
// as it grows, so the cost of a fragment does not depend on how long the reply already is.
//
// The cleaned text is handed out as an edit of the text handed out before (keep that many
// characters, then add the tail), so the shown message can grow in place instead of being
// copied whole on every fragment. Applying every edit in turn to an empty text always gives
// sanitizeReply of everything appended.
class StreamingSanitizer
{
public:
    struct Change
    {
        qsizetype keep = 0;
        QString tail;
    };

    void append(QStringView fragment);
    // The edit from the text of the previous call (empty before the first) to the current one.
    Change takeChange();
    void clear() { *this = StreamingSanitizer(); }

private:
    // Where the cleaned text comes from: a stretch of the kept lines, then (after a line feed
    // when both are there) a stretch of the unfinished line.
    struct Shape
    {
        qsizetype keptFrom = -1; // -1 = no kept text shown
        qsizetype keptTo = 0;
        bool line = false;
        quint64 lineNumber = 0;
        qsizetype lineFrom = 0;
        qsizetype lineTo = 0;
    };

    void growLine(QStringView piece);
    void finishLine();
    bool lineDisplayable() const;
    Shape shape() const;
    static qsizetype commonPrefix(const Shape &before, const Shape &now);

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
    quint64 m_lineNumber = 0;

    std::optional<Shape> m_shown;
};
