#pragma once

#include <QDateTime>
#include <QLocale>
#include <QObject>
#include <QtQml/qqmlregistration.h>
#include <functional>

class AgentState;

// The sidebar's texts and the first-run decision, as plain functions the QML calls.
class SidebarRules : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using Clock = std::function<QDateTime()>;
    explicit SidebarRules(QObject *parent = nullptr);

    // Today: the locale's short time; yesterday: "Yesterday"; within six whole days: the
    // weekday; older: abbreviated month and day.
    static QString relativeDate(const QDateTime &date, const QDateTime &now, const QLocale &locale);
    Q_INVOKABLE QString relativeDate(const QDateTime &date) const;
    // First character of the title, upper-cased; empty for an empty title.
    Q_INVOKABLE static QString initial(const QString &title);
    Q_INVOKABLE static bool onboardingComplete();
    // Deleting a conversation that holds messages asks first, until the user says not to.
    static bool asksBeforeDeleting(const AgentState &state, const QString &sessionId);
    Q_INVOKABLE static bool asksBeforeDeleting(QObject *agentState, const QString &sessionId);
    Q_INVOKABLE static void stopAskingBeforeDeleting();
    // New Chat reuses a conversation that has no messages yet (the active one first) rather than
    // making another; empty text when there is none.
    static QString reusableEmptySession(const AgentState &state);
    Q_INVOKABLE static QString reusableEmptySession(QObject *agentState);
    // Only one process-wide clock: tests replace it to fix "now".
    static void setClock(Clock clock);

private:
    static Clock &clock();
};
