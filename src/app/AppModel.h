#pragma once

#include "conversation/AgentState.h"
#include "conversation/MessageListModel.h"
#include "conversation/SessionListModel.h"

#include <QObject>

class QQmlApplicationEngine;

// The composition root: creates the long-lived objects once, in order, and hands them to the
// window. They live for the whole run.
class AppModel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(AgentState *agentState READ agentState CONSTANT)
    Q_PROPERTY(MessageListModel *messages READ messages CONSTANT)
    Q_PROPERTY(SessionListModel *sessions READ sessions CONSTANT)

public:
    explicit AppModel(QObject *parent = nullptr);
    ~AppModel() override;

    AgentState *agentState() const { return m_agentState; }
    MessageListModel *messages() const { return m_messages; }
    SessionListModel *sessions() const { return m_sessions; }

    // Loads the main window into the engine, with this object as its `app` property.
    bool loadMainWindow(QQmlApplicationEngine &engine);

private:
    AgentState *m_agentState;
    MessageListModel *m_messages;
    SessionListModel *m_sessions;
};
