#include "conversation/SessionListModel.h"

#include "conversation/AgentState.h"
#include "conversation/Identifiers.h"

SessionListModel::SessionListModel(AgentState *state, QObject *parent)
    : QAbstractListModel(parent)
    , m_state(state)
    , m_rows(state->sessionCount())
{
    connect(state, &AgentState::chatSessionsChanged, this, &SessionListModel::refresh);
    connect(state, &AgentState::activeSessionIDChanged, this, [this] {
        if (m_rows > 0)
            emit dataChanged(index(0), index(m_rows - 1), {IsActiveRole});
    });
}

void SessionListModel::refresh()
{
    const int rows = m_state->sessionCount();
    if (rows == m_rows) {
        // Same sessions, changed fields (title, pin, date): redraw rows, keep delegates.
        if (rows > 0)
            emit dataChanged(index(0), index(rows - 1));
        return;
    }
    beginResetModel();
    m_rows = rows;
    endResetModel();
    emit countChanged();
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
