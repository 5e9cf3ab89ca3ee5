#include "SessionFilterModel.h"

#include "conversation/AgentState.h"
#include "conversation/SessionListModel.h"

SessionFilterModel::SessionFilterModel(QObject *parent)
    : QSortFilterProxyModel(parent)
{
    setSortRole(SessionListModel::IsPinnedRole);
    setDynamicSortFilter(true);
    connect(this, &QAbstractItemModel::rowsInserted, this, &SessionFilterModel::countChanged);
    connect(this, &QAbstractItemModel::rowsRemoved, this, &SessionFilterModel::countChanged);
    connect(this, &QAbstractItemModel::modelReset, this, &SessionFilterModel::countChanged);
    connect(this, &QAbstractItemModel::layoutChanged, this, &SessionFilterModel::countChanged);
    connect(this, &QAbstractProxyModel::sourceModelChanged, this, &SessionFilterModel::forgetResults);
    m_matcher.setCaseSensitivity(Qt::CaseInsensitive);
}

QString SessionFilterModel::normalizedQuery(const QString &searchQuery)
{
    return searchQuery.trimmed().toLower();
}

bool SessionFilterModel::matches(const ChatSession &session, const QStringMatcher &query)
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

QObject *SessionFilterModel::agentStateObject() const
{
    return m_state;
}

void SessionFilterModel::setAgentStateObject(QObject *state)
{
    auto *agentState = qobject_cast<AgentState *>(state);
    if (agentState == m_state)
        return;
    m_state = agentState;
    invalidateFilter();
    emit agentStateChanged();
}

void SessionFilterModel::setSessions(QAbstractItemModel *sessions)
{
    if (sessions == sourceModel())
        return;
    setSourceModel(sessions);
    if (sessions) {
        // Stored sessions changed: earlier results no longer say anything.
        connect(sessions, &QAbstractItemModel::dataChanged, this, &SessionFilterModel::forgetResults);
        connect(sessions, &QAbstractItemModel::rowsInserted, this, &SessionFilterModel::forgetResults);
        connect(sessions, &QAbstractItemModel::rowsRemoved, this, &SessionFilterModel::forgetResults);
        connect(sessions, &QAbstractItemModel::modelReset, this, &SessionFilterModel::forgetResults);
    }
    sort(0);
    emit sessionsChanged();
}

void SessionFilterModel::setSearchQuery(const QString &query)
{
    if (query == m_searchQuery)
        return;
    m_searchQuery = query;
    const QString normalized = normalizedQuery(query);
    if (normalized != m_query) {
        const bool narrowing = m_resultsValid && !m_query.isEmpty() && normalized.contains(m_query);
        m_previous = narrowing ? std::move(m_accepted) : std::vector<char>();
        m_query = normalized;
        m_matcher.setPattern(m_query);
        m_accepted.assign(sourceModel() ? sourceModel()->rowCount() : 0, 1);
        invalidateFilter();
        m_previous.clear();
        m_resultsValid = true;
    }
    emit searchQueryChanged();
}

bool SessionFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex &) const
{
    if (m_query.isEmpty())
        return true;
    if (!m_state || sourceRow >= m_state->sessionCount())
        return false;
    const auto row = static_cast<size_t>(sourceRow);
    const bool accepted = (row >= m_previous.size() || m_previous[row])
                          && matches(m_state->chatSessions().at(sourceRow), m_matcher);
    if (row < m_accepted.size())
        m_accepted[row] = accepted;
    return accepted;
}

bool SessionFilterModel::lessThan(const QModelIndex &left, const QModelIndex &right) const
{
    const bool leftPinned = left.data(SessionListModel::IsPinnedRole).toBool();
    const bool rightPinned = right.data(SessionListModel::IsPinnedRole).toBool();
    if (leftPinned != rightPinned)
        return leftPinned;
    return left.row() < right.row();
}
