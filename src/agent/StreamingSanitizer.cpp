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
}

QString StreamingSanitizer::text() const
{
    const QStringView kept(m_kept);
    if (m_lineBegin < 0 || !lineDisplayable()) {
        if (m_keptBegin < 0)
            return QString();
        return kept.sliced(m_keptBegin, m_keptEnd - m_keptBegin).toString();
    }
    const QStringView line(m_line);
    if (m_keptBegin < 0)
        return line.sliced(m_lineBegin, m_lineEnd - m_lineBegin).toString();
    QString text;
    text.reserve(m_kept.size() - m_keptBegin + 1 + m_lineEnd);
    text.append(kept.sliced(m_keptBegin)).append(QLatin1Char('\n')).append(line.first(m_lineEnd));
    return text;
}
