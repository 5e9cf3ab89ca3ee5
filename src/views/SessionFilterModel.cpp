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
}

QString SessionFilterModel::normalizedQuery(const QString &searchQuery)
{
    return searchQuery.trimmed().toLower();
}

bool SessionFilterModel::matches(const ChatSession &session, const QString &query)
{
    if (query.isEmpty())
        return true;
    // Case-insensitive search instead of lower-casing every message: no copy per keystroke.
    if (session.title.contains(query, Qt::CaseInsensitive))
        return true;
    for (const Message &message : session.messages) {
        if (message.content.contains(query, Qt::CaseInsensitive))
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
        m_query = normalized;
        invalidateFilter();
    }
    emit searchQueryChanged();
}

bool SessionFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex &) const
{
    if (m_query.isEmpty())
        return true;
    if (!m_state || sourceRow >= m_state->sessionCount())
        return false;
    return matches(m_state->chatSessions().at(sourceRow), m_query);
}

bool SessionFilterModel::lessThan(const QModelIndex &left, const QModelIndex &right) const
{
    const bool leftPinned = left.data(SessionListModel::IsPinnedRole).toBool();
    const bool rightPinned = right.data(SessionListModel::IsPinnedRole).toBool();
    if (leftPinned != rightPinned)
        return leftPinned;
    return left.row() < right.row();
}
