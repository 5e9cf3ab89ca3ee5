#pragma once

#include <QAbstractListModel>
#include <QPointer>

class AgentState;

// The active conversation as a list model. Follows the store's row-precise signals, so a
// streaming reply redraws one row instead of rebuilding the list.
class MessageListModel : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)
public:
    enum Role {
        IdRole = Qt::UserRole + 1,
        RoleRole,
        ContentRole,
        TimestampRole,
        ToolCallsRole,
        IsImageRole,
        IsLastRole,
        CaptionRole, // "<model> on <server>" under a reply, or empty
    };
    Q_ENUM(Role)

    explicit MessageListModel(AgentState *state, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;
    int count() const { return rowCount(); }

signals:
    void countChanged();

private:
    QPointer<AgentState> m_state;
    int m_rows = 0;
};
