#pragma once

#include "agent/AgentManager.h"
#include "conversation/AgentState.h"
#include "conversation/MessageListModel.h"
#include "conversation/SessionListModel.h"
#include "engine/ServerManager.h"
#include "llm/ActiveEndpoint.h"
#include "llm/RemoteServerList.h"
#include "models/ModelManager.h"
#include "platform/SecretStore.h"

#include <QObject>

class QQmlApplicationEngine;

// The composition root: creates the long-lived objects once, in order (conversation state,
// engine, model library; the agent on first use), and hands them to the window. They live for
// the whole run.
class AppModel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(AgentState *agentState READ agentState CONSTANT)
    Q_PROPERTY(ServerManager *serverManager READ serverManager CONSTANT)
    Q_PROPERTY(ModelManager *modelManager READ modelManager CONSTANT)
    Q_PROPERTY(AgentManager *agentManager READ agentManager CONSTANT)
    Q_PROPERTY(MessageListModel *messages READ messages CONSTANT)
    Q_PROPERTY(SessionListModel *sessions READ sessions CONSTANT)
    Q_PROPERTY(RemoteServerList *remoteServers READ remoteServers CONSTANT)
    Q_PROPERTY(ActiveEndpoint *activeEndpoint READ activeEndpoint CONSTANT)

public:
    explicit AppModel(QObject *parent = nullptr);
    // Tests inject an engine environment (fake engine, free port, short waits).
    AppModel(const EngineEnvironment &engine, QObject *parent);
    ~AppModel() override;

    AgentState *agentState() const { return m_agentState; }
    ServerManager *serverManager() const { return m_serverManager; }
    ModelManager *modelManager() const { return m_modelManager; }
    AgentManager *agentManager();
    MessageListModel *messages() const { return m_messages; }
    SessionListModel *sessions() const { return m_sessions; }
    RemoteServerList *remoteServers() const { return m_remoteServers; }
    ActiveEndpoint *activeEndpoint() const { return m_activeEndpoint; }

    // Loads the main window into the engine, with this object as its `app` property, drawn by
    // the renderer that suits this machine.
    bool loadMainWindow(QQmlApplicationEngine &engine);

    // Starts the engine on the stored auto-load model when one is stored and the engine is
    // installed; run once when the main window is first shown.
    Q_INVOKABLE void autoLoad();

    // Ends the engine we started, waiting briefly, so nothing is left holding the port.
    void shutDown();

    // Whether quitting may go ahead: while the latest changes are not on disk, asks the user
    // once. Also answers true when closing the window only hides it (there is a tray).
    Q_INVOKABLE bool confirmQuit();
    // The tray's Quit: quits once confirmed.
    void requestQuit();
    // Whether quitting may go ahead now: while the latest changes are not on disk, asks once.
    Q_INVOKABLE bool mayQuit();

private:

    AgentState *m_agentState;
    ServerManager *m_serverManager;
    ModelManager *m_modelManager;
    AgentManager *m_agentManager = nullptr;
    MessageListModel *m_messages;
    SessionListModel *m_sessions;
    SecretStore *m_secrets;
    RemoteServerList *m_remoteServers;
    ActiveEndpoint *m_activeEndpoint;
    bool m_autoLoadDone = false;
    bool m_quitConfirmed = false;
};
