#include "SessionFilterModel.h"

#include "conversation/AgentState.h"
#include "conversation/SessionListModel.h"

#include <algorithm>

SessionFilterModel::SessionFilterModel(QObject *parent)
    : QAbstractListModel(parent)
{
    m_matcher.setCaseSensitivity(Qt::CaseInsensitive);
    connect(this, &QAbstractItemModel::rowsInserted, this, &SessionFilterModel::countChanged);
    connect(this, &QAbstractItemModel::rowsRemoved, this, &SessionFilterModel::countChanged);
    connect(this, &QAbstractItemModel::modelReset, this, &SessionFilterModel::countChanged);
}

bool SessionFilterModel::before(const Row &left, const Row &right)
{
    if (left.pinned != right.pinned)
        return left.pinned;
    return left.source < right.source;
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
    rebuild();
    emit agentStateChanged();
}

void SessionFilterModel::setSessions(QAbstractItemModel *sessions)
{
    if (sessions == m_sessions)
        return;
    if (m_sessions)
        disconnect(m_sessions, nullptr, this, nullptr);
    m_sessions = sessions;
    if (sessions) {
        connect(sessions, &QAbstractItemModel::rowsInserted, this,
                [this](const QModelIndex &, int first, int last) { sourceInserted(first, last); });
        connect(sessions, &QAbstractItemModel::rowsRemoved, this,
                [this](const QModelIndex &, int first, int last) { sourceRemoved(first, last); });
        connect(sessions, &QAbstractItemModel::dataChanged, this,
                [this](const QModelIndex &topLeft, const QModelIndex &bottomRight, const QList<int> &roles) {
                    sourceChanged(topLeft.row(), bottomRight.row(), roles);
                });
        connect(sessions, &QAbstractItemModel::modelReset, this, &SessionFilterModel::rebuild);
    }
    rebuild();
    emit sessionsChanged();
}

void SessionFilterModel::setSearchQuery(const QString &query)
{
    if (query == m_searchQuery)
        return;
    m_searchQuery = query;
    const QString normalized = SessionSearch::normalizedQuery(query);
    if (normalized != m_query) {
        m_query = normalized;
        m_matcher.setPattern(m_query);
        applyQuery();
    }
    emit searchQueryChanged();
}

int SessionFilterModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant SessionFilterModel::data(const QModelIndex &index, int role) const
{
    if (!m_sessions || !index.isValid() || index.row() >= count())
        return {};
    return m_sessions->data(m_sessions->index(m_rows[static_cast<size_t>(index.row())].source, 0), role);
}

QHash<int, QByteArray> SessionFilterModel::roleNames() const
{
    return m_sessions ? m_sessions->roleNames() : QHash<int, QByteArray>();
}

SessionFilterModel::Row SessionFilterModel::rowFor(int source) const
{
    return {source, m_state->chatSessions().at(source).isPinned};
}

bool SessionFilterModel::wanted(int source) const
{
    return SessionSearch::matches(m_state->chatSessions().at(source), m_matcher);
}

int SessionFilterModel::activeSourceRow() const
{
    const std::optional<QUuid> active = m_state->activeSessionID();
    const QList<ChatSession> &stored = m_state->chatSessions();
    for (int row = 0; active && row < stored.size(); ++row) {
        if (stored.at(row).id == *active)
            return row;
    }
    return -1;
}

std::vector<SessionFilterModel::Row> SessionFilterModel::visibleRows()
{
    std::vector<Row> rows;
    if (!m_state || !m_sessions)
        return rows;
    const QList<ChatSession> &stored = m_state->chatSessions();
    const int total = std::min(int(stored.size()), m_sessions->rowCount());
    // The whole answer at once, on every core, and from earlier answers where it can be.
    const std::vector<char> *accepted =
        m_query.isEmpty() ? nullptr : &m_search.accepted(stored, m_query, activeSourceRow());
    for (int source = 0; source < total; ++source) {
        if (!accepted || (*accepted)[static_cast<size_t>(source)])
            rows.push_back(rowFor(source));
    }
    std::stable_partition(rows.begin(), rows.end(), [](const Row &row) { return row.pinned; });
    return rows;
}

void SessionFilterModel::rebuild()
{
    m_search.forget();
    beginResetModel();
    m_rows = visibleRows();
    endResetModel();
}

void SessionFilterModel::applyQuery()
{
    const std::vector<Row> next = visibleRows();
    // Both lists are in the same order, so one walk tells which rows leave and which arrive.
    std::vector<int> leaving;
    std::vector<int> arriving;
    size_t i = 0;
    size_t j = 0;
    while (i < m_rows.size() || j < next.size()) {
        if (i < m_rows.size() && j < next.size() && m_rows[i] == next[j]) {
            ++i;
            ++j;
        } else if (j == next.size() || (i < m_rows.size() && before(m_rows[i], next[j]))) {
            leaving.push_back(int(i++));
        } else {
            arriving.push_back(int(j++));
        }
    }
    // Contiguous runs, last first, so the earlier positions stay valid.
    for (size_t end = leaving.size(); end > 0;) {
        size_t start = end - 1;
        while (start > 0 && leaving[start - 1] == leaving[start] - 1)
            --start;
        const int first = leaving[start];
        const int last = leaving[end - 1];
        beginRemoveRows({}, first, last);
        m_rows.erase(m_rows.begin() + first, m_rows.begin() + last + 1);
        endRemoveRows();
        end = start;
    }
    // Arriving rows in order: before each run, the list already holds every row ahead of it.
    for (size_t start = 0; start < arriving.size();) {
        size_t end = start + 1;
        while (end < arriving.size() && arriving[end] == arriving[end - 1] + 1)
            ++end;
        const int first = arriving[start];
        const int last = arriving[end - 1];
        beginInsertRows({}, first, last);
        m_rows.insert(m_rows.begin() + first, next.begin() + first, next.begin() + last + 1);
        endInsertRows();
        start = end;
    }
}

void SessionFilterModel::insertSorted(const Row &row)
{
    const auto at = int(std::lower_bound(m_rows.begin(), m_rows.end(), row, before) - m_rows.begin());
    beginInsertRows({}, at, at);
    m_rows.insert(m_rows.begin() + at, row);
    endInsertRows();
}

void SessionFilterModel::removeAt(int at)
{
    beginRemoveRows({}, at, at);
    m_rows.erase(m_rows.begin() + at);
    endRemoveRows();
}

void SessionFilterModel::sourceInserted(int first, int last)
{
    if (!m_state)
        return;
    m_search.forget();
    const int added = last - first + 1;
    for (Row &row : m_rows) {
        if (row.source >= first)
            row.source += added;
    }
    for (int source = first; source <= last; ++source) {
        if (wanted(source))
            insertSorted(rowFor(source));
    }
}

void SessionFilterModel::sourceRemoved(int first, int last)
{
    m_search.forget();
    for (int at = count() - 1; at >= 0; --at) {
        const int source = m_rows[static_cast<size_t>(at)].source;
        if (source >= first && source <= last)
            removeAt(at);
    }
    const int removed = last - first + 1;
    for (Row &row : m_rows) {
        if (row.source > last)
            row.source -= removed;
    }
}

void SessionFilterModel::sourceChanged(int first, int last, const QList<int> &roles)
{
    if (!m_state)
        return;
    // Only the highlight of the active conversation: no row comes, goes or moves.
    if (roles == QList<int>{SessionListModel::IsActiveRole}) {
        if (count() > 0)
            emit dataChanged(index(0), index(count() - 1), roles);
        return;
    }
    m_search.forget();
    for (int source = first; source <= last; ++source) {
        const auto found = std::find(m_rows.begin(), m_rows.end(), Row{source, false});
        const int at = found == m_rows.end() ? -1 : int(found - m_rows.begin());
        const bool shown = wanted(source);
        const Row row = rowFor(source);
        if (at < 0) {
            if (shown)
                insertSorted(row);
            continue;
        }
        if (!shown) {
            removeAt(at);
            continue;
        }
        if (m_rows[static_cast<size_t>(at)].pinned != row.pinned) {
            // Pinned or unpinned: the row moves to its place in the other group.
            std::vector<Row> others = m_rows;
            others.erase(others.begin() + at);
            const auto to = int(std::lower_bound(others.begin(), others.end(), row, before) - others.begin());
            if (to != at) {
                beginMoveRows({}, at, at, {}, to > at ? to + 1 : to);
                others.insert(others.begin() + to, row);
                m_rows = std::move(others);
                endMoveRows();
                emit dataChanged(index(to), index(to), roles);
                continue;
            }
            m_rows[static_cast<size_t>(at)].pinned = row.pinned;
        }
        emit dataChanged(index(at), index(at), roles);
    }
}
