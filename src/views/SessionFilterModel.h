#pragma once

#include "SessionSearch.h"

#include <QAbstractListModel>
#include <QPointer>
#include <QStringMatcher>
#include <QtQml/qqmlregistration.h>
#include <vector>

class AgentState;

// The sidebar's visible sessions over the stored list: pinned ones first, each group in stored
// order, narrowed to the sessions whose title or any message contains the search text.
// Every change is announced as the rows it touches: a keystroke removes and inserts only the
// rows whose visibility changed, a pin moves its row, a new or deleted conversation is one row;
// so delegates that stay on screen are kept, and so is the scroll position.
class SessionFilterModel : public QAbstractListModel
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QObject *agentState READ agentStateObject WRITE setAgentStateObject NOTIFY agentStateChanged)
    Q_PROPERTY(QAbstractItemModel *sessions READ sessions WRITE setSessions NOTIFY sessionsChanged)
    Q_PROPERTY(QString searchQuery READ searchQuery WRITE setSearchQuery NOTIFY searchQueryChanged)
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    explicit SessionFilterModel(QObject *parent = nullptr);

    QObject *agentStateObject() const;
    void setAgentStateObject(QObject *state);
    QAbstractItemModel *sessions() const { return m_sessions; }
    // The stored sessions in stored order, one row each, with the roles the sidebar shows.
    void setSessions(QAbstractItemModel *sessions);
    QString searchQuery() const { return m_searchQuery; }
    void setSearchQuery(const QString &query);
    int count() const { return int(m_rows.size()); }

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    void agentStateChanged();
    void sessionsChanged();
    void searchQueryChanged();
    void countChanged();

private:
    struct Row
    {
        int source;
        bool pinned;
        bool operator==(const Row &other) const { return source == other.source; }
    };
    // The display order: pinned first, then stored order.
    static bool before(const Row &left, const Row &right);

    Row rowFor(int source) const;
    bool wanted(int source) const;
    int activeSourceRow() const;
    std::vector<Row> visibleRows();
    void rebuild();
    void applyQuery();
    void insertSorted(const Row &row);
    void removeAt(int at);
    void sourceInserted(int first, int last);
    void sourceRemoved(int first, int last);
    void sourceChanged(int first, int last, const QList<int> &roles);

    QPointer<AgentState> m_state;
    QPointer<QAbstractItemModel> m_sessions;
    QString m_searchQuery;
    QString m_query;
    QStringMatcher m_matcher;
    SessionSearch m_search;
    std::vector<Row> m_rows;
};
