#pragma once

// Test doubles for the two managers the chat view talks to, with the same properties and
// invokables as the real ones. The agent double plays a scripted reply into the real AgentState.

#include "conversation/AgentState.h"
#include "conversation/Message.h"

#include <QTimer>

class FakeAgentManager : public QObject
{
    Q_OBJECT

public:
    explicit FakeAgentManager(AgentState *state) : m_state(state)
    {
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this, &FakeAgentManager::step);
    }

    Q_INVOKABLE void sendMessage(const QString &text)
    {
        sent << text;
        m_state->appendMessage(Message::make(Roles::user, text));
        m_state->appendMessage(Message::make(Roles::assistant, QString()));
        m_state->setCurrentStreamingContent(QString());
        m_state->setIsLoading(true);
        m_pending = fragments;
        m_timer.start();
    }

    Q_INVOKABLE void cancelGeneration()
    {
        ++cancelled;
        m_pending.clear();
        finish();
    }

    // What the next reply streams, one fragment per tick; an empty list holds the turn open.
    QStringList fragments;
    QStringList sent;
    int cancelled = 0;

private:
    void step()
    {
        if (!m_pending.isEmpty()) {
            m_state->appendStreamingContent(m_pending.takeFirst());
            m_state->replaceLastMessageContent(m_state->currentStreamingContent());
        } else if (!fragments.isEmpty()) {
            finish();
        }
    }

    void finish()
    {
        m_timer.stop();
        m_state->setIsLoading(false);
    }

    AgentState *m_state;
    QTimer m_timer;
    QStringList m_pending;
};

class FakeServerManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isRunning MEMBER isRunning NOTIFY changed)
    Q_PROPERTY(bool isStarting MEMBER isStarting NOTIFY changed)
    Q_PROPERTY(QString statusMessage MEMBER statusMessage NOTIFY changed)
    Q_PROPERTY(QString activeModelName MEMBER activeModelName NOTIFY changed)
    Q_PROPERTY(bool stoppedUnexpectedly MEMBER stoppedUnexpectedly NOTIFY changed)
    Q_PROPERTY(QString failureNotice MEMBER failureNotice NOTIFY changed)

public:
    void set(bool running, bool starting, const QString &status = {}, const QString &model = {})
    {
        isRunning = running;
        isStarting = starting;
        statusMessage = status;
        activeModelName = model;
        emit changed();
    }
    Q_INVOKABLE void reload() { ++reloads; }

    bool isRunning = true;
    bool isStarting = false;
    QString statusMessage;
    QString activeModelName = QStringLiteral("Llama 3.2 3B Instruct Q4_K_M");
    bool stoppedUnexpectedly = false;
    QString failureNotice;
    int reloads = 0;

signals:
    void changed();
};
