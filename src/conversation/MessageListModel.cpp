#include "conversation/MessageListModel.h"

#include "conversation/AgentState.h"
#include "conversation/Identifiers.h"

MessageListModel::MessageListModel(AgentState *state, QObject *parent)
    : QAbstractListModel(parent)
    , m_state(state)
    , m_rows(state->messageCount())
{
    connect(state, &AgentState::messagesReset, this, [this] {
        beginResetModel();
        m_rows = m_state->messageCount();
        endResetModel();
        emit countChanged();
    });
    connect(state, &AgentState::messageAppended, this, [this] {
        const int row = m_rows;
        beginInsertRows({}, row, row);
        m_rows = m_state->messageCount();
        endInsertRows();
        if (row > 0) // the former last row is no longer last
            emit dataChanged(index(row - 1), index(row - 1), {IsLastRole});
        emit countChanged();
    });
    connect(state, &AgentState::lastMessageRemoved, this, [this] {
        const int row = m_rows - 1;
        beginRemoveRows({}, row, row);
        m_rows = m_state->messageCount();
        endRemoveRows();
        if (row > 0)
            emit dataChanged(index(row - 1), index(row - 1), {IsLastRole});
        emit countChanged();
    });
    connect(state, &AgentState::lastMessageReplaced, this, [this] {
        if (m_rows > 0)
            emit dataChanged(index(m_rows - 1), index(m_rows - 1));
    });
}

int MessageListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

QVariant MessageListModel::data(const QModelIndex &index, int role) const
{
    if (!m_state || !index.isValid() || index.row() >= m_state->messageCount())
        return {};
    const Message &message = m_state->messages().at(index.row());
    switch (role) {
    case IdRole:
        return Identifiers::uuidText(message.id);
    case RoleRole:
        return message.role;
    case ContentRole:
    case Qt::DisplayRole:
        return message.content;
    case TimestampRole:
        return message.timestamp;
    case ToolCallsRole: {
        QVariantList calls;
        if (message.toolCalls) {
            for (const ToolCall &call : *message.toolCalls) {
                QVariantMap arguments;
                for (auto it = call.arguments.begin(); it != call.arguments.end(); ++it)
                    arguments.insert(it.key(), it.value());
                calls.append(QVariantMap{{QStringLiteral("id"), call.id},
                                         {QStringLiteral("name"), call.name},
                                         {QStringLiteral("arguments"), arguments},
                                         {QStringLiteral("status"), toolStatusRawValue(call.status)},
                                         {QStringLiteral("result"), call.result.value_or(QString())}});
            }
        }
        return calls;
    }
    case IsImageRole:
        return message.isImage();
    case IsLastRole:
        return index.row() == m_rows - 1;
    case CaptionRole:
        return message.caption();
    }
    return {};
}

QHash<int, QByteArray> MessageListModel::roleNames() const
{
    return {{IdRole, "messageId"},      {RoleRole, "role"},          {ContentRole, "content"},
            {TimestampRole, "timestamp"}, {ToolCallsRole, "toolCalls"}, {IsImageRole, "isImage"},
            {IsLastRole, "isLast"}, {CaptionRole, "caption"}};
}
