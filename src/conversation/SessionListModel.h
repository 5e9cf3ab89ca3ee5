#pragma once

#include <QAbstractListModel>
#include <QPointer>

class AgentState;

// The stored sessions in the store's order, for the sidebar.
class SessionListModel : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)
public:
    enum Role { IdRole = Qt::UserRole + 1, TitleRole, IsPinnedRole, UpdatedAtRole, CreatedAtRole, IsActiveRole };
    Q_ENUM(Role)

    explicit SessionListModel(AgentState *state, QObject *parent = nullptr);

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
