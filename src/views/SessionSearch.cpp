#include "SessionSearch.h"

#include <QThread>
#include <algorithm>
#include <future>

namespace {

// A whole query typed and erased again fits; each answer is one byte per session.
constexpr size_t keptAnswers = 48;
// Below this many sessions to search, starting threads costs more than it saves.
constexpr size_t parallelThreshold = 64;

} // namespace

QString SessionSearch::normalizedQuery(const QString &searchQuery)
{
    return searchQuery.trimmed().toLower();
}

bool SessionSearch::matches(const ChatSession &session, const QStringMatcher &query)
{
    if (query.pattern().isEmpty())
        return true;
    // Case-insensitive search instead of lower-casing every message: no copy per keystroke.
    if (query.indexIn(session.title) >= 0)
        return true;
    for (const Message &message : session.messages) {
        if (query.indexIn(message.content) >= 0)
            return true;
    }
    return false;
}

const std::vector<char> &SessionSearch::accepted(const QList<ChatSession> &sessions, const QString &query, int liveRow)
{
    const size_t count = static_cast<size_t>(sessions.size());
    QStringMatcher matcher(query, Qt::CaseInsensitive);
    const auto refreshLiveRow = [&](std::vector<char> &rows) {
        if (liveRow >= 0 && static_cast<size_t>(liveRow) < count)
            rows[static_cast<size_t>(liveRow)] = matches(sessions.at(liveRow), matcher);
    };
    const Answer *narrowest = nullptr;
    for (auto answer = m_answers.begin(); answer != m_answers.end(); ++answer) {
        if (answer->rows.size() != count)
            continue;
        if (answer->query == query) {
            // Most recent last, so a query typed again is kept the longest.
            Answer again = std::move(*answer);
            m_answers.erase(answer);
            m_answers.push_back(std::move(again));
            refreshLiveRow(m_answers.back().rows);
            return m_answers.back().rows;
        }
        // Rows a shorter query dropped cannot contain the longer one.
        if (query.contains(answer->query) && (!narrowest || answer->query.size() > narrowest->query.size()))
            narrowest = &*answer;
    }

    std::vector<char> rows = narrowest ? narrowest->rows : std::vector<char>(count, 1);
    if (liveRow >= 0 && static_cast<size_t>(liveRow) < count)
        rows[static_cast<size_t>(liveRow)] = 1;
    const auto search = [&](size_t begin, size_t end) {
        for (size_t row = begin; row < end; ++row) {
            if (rows[row])
                rows[row] = matches(sessions.at(static_cast<qsizetype>(row)), matcher);
        }
    };
    // The sessions are only read, and the caller waits for every part before anything changes.
    const size_t parts = count < parallelThreshold ? 1 : static_cast<size_t>(std::max(1, QThread::idealThreadCount()));
    std::vector<std::future<void>> others;
    for (size_t part = 1; part < parts; ++part)
        others.push_back(std::async(std::launch::async, search, count * part / parts, count * (part + 1) / parts));
    search(0, count / parts);
    for (std::future<void> &other : others)
        other.get();

    if (m_answers.size() == keptAnswers)
        m_answers.pop_front();
    m_answers.push_back({query, std::move(rows)});
    return m_answers.back().rows;
}
