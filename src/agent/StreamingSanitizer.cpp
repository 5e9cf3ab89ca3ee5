#include "agent/StreamingSanitizer.h"

namespace {

const QLatin1StringView emptyWord("empty");
const QLatin1StringView containsWord("contains");

} // namespace

void StreamingSanitizer::append(QStringView fragment)
{
    qsizetype from = 0;
    for (qsizetype lf = fragment.indexOf(QLatin1Char('\n')); lf >= 0;
         lf = fragment.indexOf(QLatin1Char('\n'), from)) {
        growLine(fragment.sliced(from, lf - from));
        finishLine();
        from = lf + 1;
    }
    growLine(fragment.sliced(from));
}

void StreamingSanitizer::growLine(QStringView piece)
{
    if (piece.isEmpty())
        return;
    const qsizetype oldSize = m_line.size();
    m_line += piece;
    for (qsizetype i = oldSize; i < m_line.size(); ++i) {
        const QChar c = m_line[i];
        if (!SystemPrompt::isSpaceOrTab(c)) {
            if (m_lineSolidBegin < 0)
                m_lineSolidBegin = i;
            m_lineSolidEnd = i + 1;
        }
        if (!c.isSpace()) {
            if (m_lineBegin < 0)
                m_lineBegin = i;
            m_lineEnd = i + 1;
        }
        if (m_lineCloseBracket < 0 && c == QLatin1Char(']'))
            m_lineCloseBracket = i;
    }
    if (!m_lineMentionsEmptyOrContains) {
        // A word may have started in an earlier fragment: look back by one word's length.
        const QStringView recent = QStringView(m_line).sliced(
            std::max<qsizetype>(0, oldSize - containsWord.size() + 1));
        m_lineMentionsEmptyOrContains = recent.contains(emptyWord) || recent.contains(containsWord);
    }
}

bool StreamingSanitizer::lineDisplayable() const
{
    if (m_lineSolidBegin < 0)
        return SystemPrompt::isDisplayable({});
    return SystemPrompt::isDisplayable(
        {QStringView(m_line).sliced(m_lineSolidBegin, m_lineSolidEnd - m_lineSolidBegin),
         m_lineCloseBracket < 0 ? -1 : m_lineCloseBracket - m_lineSolidBegin,
         m_lineMentionsEmptyOrContains});
}

void StreamingSanitizer::finishLine()
{
    if (lineDisplayable()) {
        if (m_keptLines > 0)
            m_kept += QLatin1Char('\n');
        const qsizetype offset = m_kept.size();
        m_kept += m_line;
        ++m_keptLines;
        if (m_lineBegin >= 0) {
            if (m_keptBegin < 0)
                m_keptBegin = offset + m_lineBegin;
            m_keptEnd = offset + m_lineEnd;
        }
    }
    m_line.clear();
    m_lineSolidBegin = -1;
    m_lineSolidEnd = 0;
    m_lineBegin = -1;
    m_lineEnd = 0;
    m_lineCloseBracket = -1;
    m_lineMentionsEmptyOrContains = false;
    ++m_lineNumber;
}

StreamingSanitizer::Shape StreamingSanitizer::shape() const
{
    Shape shape;
    shape.lineNumber = m_lineNumber;
    const bool lineShown = m_lineBegin >= 0 && lineDisplayable();
    if (!lineShown) {
        if (m_keptBegin >= 0) {
            shape.keptFrom = m_keptBegin;
            shape.keptTo = m_keptEnd;
        }
        return shape;
    }
    shape.line = true;
    shape.lineTo = m_lineEnd;
    if (m_keptBegin < 0) {
        shape.lineFrom = m_lineBegin;
    } else {
        // White space at the end of the kept lines is inside the text now.
        shape.keptFrom = m_keptBegin;
        shape.keptTo = m_kept.size();
    }
    return shape;
}

// Kept lines only grow and their first visible character never moves, and an unfinished line
// only grows, so the two texts share their stretches up to the shorter end.
qsizetype StreamingSanitizer::commonPrefix(const Shape &before, const Shape &now)
{
    if (before.keptFrom < 0) {
        const bool sameLine = before.line && now.line && now.keptFrom < 0
            && before.lineNumber == now.lineNumber && before.lineFrom == now.lineFrom;
        return sameLine ? std::min(before.lineTo, now.lineTo) - before.lineFrom : 0;
    }
    qsizetype common = std::min(before.keptTo, now.keptTo) - before.keptFrom;
    if (before.keptTo == now.keptTo && before.line && now.line && before.lineNumber == now.lineNumber)
        common += 1 + std::min(before.lineTo, now.lineTo);
    return common;
}

StreamingSanitizer::Change StreamingSanitizer::takeChange()
{
    const Shape now = shape();
    Change change;
    change.keep = m_shown ? commonPrefix(*m_shown, now) : 0;
    m_shown = now;

    qsizetype skip = change.keep;
    const auto addFrom = [&](QStringView piece) {
        const qsizetype skipped = std::min(skip, piece.size());
        change.tail += piece.sliced(skipped);
        skip -= skipped;
    };
    if (now.keptFrom >= 0)
        addFrom(QStringView(m_kept).sliced(now.keptFrom, now.keptTo - now.keptFrom));
    if (now.line) {
        if (now.keptFrom >= 0)
            addFrom(u"\n");
        addFrom(QStringView(m_line).sliced(now.lineFrom, now.lineTo - now.lineFrom));
    }
    return change;
}
