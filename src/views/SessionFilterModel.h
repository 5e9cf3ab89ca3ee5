#pragma once

#include "conversation/ChatSession.h"

#include <QPointer>
#include <QSortFilterProxyModel>
#include <QStringMatcher>
#include <QtQml/qqmlregistration.h>

class AgentState;

// The sidebar's visible sessions over the stored list: pinned ones first, each group in stored
// order, narrowed to the sessions whose title or any message contains the search text. A
// keystroke re-filters in place, so rows that stay visible keep their delegates.
class SessionFilterModel : public QSortFilterProxyModel
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QObject *agentState READ agentStateObject WRITE setAgentStateObject NOTIFY agentStateChanged)
    Q_PROPERTY(QAbstractItemModel *sessions READ sourceModel WRITE setSessions NOTIFY sessionsChanged)
    Q_PROPERTY(QString searchQuery READ searchQuery WRITE setSearchQuery NOTIFY searchQueryChanged)
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    explicit SessionFilterModel(QObject *parent = nullptr);

    // Trimmed and lower-cased; empty means "show everything".
    static QString normalizedQuery(const QString &searchQuery);
    // The matcher holds the normalised query, case-insensitive.
    static bool matches(const ChatSession &session, const QStringMatcher &query);

    QObject *agentStateObject() const;
    void setAgentStateObject(QObject *state);
    void setSessions(QAbstractItemModel *sessions);
    QString searchQuery() const { return m_searchQuery; }
    void setSearchQuery(const QString &query);
    int count() const { return rowCount(); }

signals:
    void agentStateChanged();
    void sessionsChanged();
    void searchQueryChanged();
    void countChanged();

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;
    bool lessThan(const QModelIndex &left, const QModelIndex &right) const override;

private:
    void forgetResults() { m_resultsValid = false; }

    QPointer<AgentState> m_state;
    QString m_searchQuery;
    QString m_query;
    QStringMatcher m_matcher;
    // Which source rows the current query keeps. Typing one more character can only narrow the
    // list, so rows the previous query dropped are not searched again.
    mutable std::vector<char> m_accepted;
    std::vector<char> m_previous;
    bool m_resultsValid = false;
};
