#include "conversation/SessionListModel.h"

#include "conversation/AgentState.h"
#include "conversation/Identifiers.h"

SessionListModel::SessionListModel(AgentState *state, QObject *parent)
    : QAbstractListModel(parent)
    , m_state(state)
    , m_rows(state->sessionCount())
{
    // The store has already changed when it says so; the row count kept here lets each change
    // be announced as the one row it is, so delegates and the scroll position survive.
    connect(state, &AgentState::sessionInserted, this, [this](int row) {
        beginInsertRows({}, row, row);
        ++m_rows;
        endInsertRows();
        emit countChanged();
    });
    connect(state, &AgentState::sessionRemoved, this, [this](int row) {
        beginRemoveRows({}, row, row);
        --m_rows;
        endRemoveRows();
        emit countChanged();
    });
    connect(state, &AgentState::sessionChanged, this, [this](int row) {
        if (row >= 0 && row < m_rows)
            emit dataChanged(index(row), index(row));
    });
    connect(state, &AgentState::sessionsReset, this, [this] {
        beginResetModel();
        m_rows = m_state->sessionCount();
        endResetModel();
        emit countChanged();
    });
    connect(state, &AgentState::activeSessionIDChanged, this, [this] {
        if (m_rows > 0)
            emit dataChanged(index(0), index(m_rows - 1), {IsActiveRole});
    });
}

int SessionListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

QVariant SessionListModel::data(const QModelIndex &index, int role) const
{
    if (!m_state || !index.isValid() || index.row() >= m_state->sessionCount())
        return {};
    const ChatSession &session = m_state->chatSessions().at(index.row());
    switch (role) {
    case IdRole:
        return Identifiers::uuidText(session.id);
    case TitleRole:
    case Qt::DisplayRole:
        return session.title;
    case IsPinnedRole:
        return session.isPinned;
    case UpdatedAtRole:
        return session.updatedAt;
    case CreatedAtRole:
        return session.createdAt;
    case IsActiveRole:
        return m_state->activeSessionID() == session.id;
    }
    return {};
}

QHash<int, QByteArray> SessionListModel::roleNames() const
{
    return {{IdRole, "sessionId"},        {TitleRole, "title"},         {IsPinnedRole, "isPinned"},
            {UpdatedAtRole, "updatedAt"}, {CreatedAtRole, "createdAt"}, {IsActiveRole, "isActive"}};
}
