#include "AppModel.h"
#include "RestingHeap.h"
#include "SceneRenderer.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QQmlApplicationEngine>
#include <QTimer>
#include <QtQml/qqmlextensionplugin.h>

// The views are a static QML module; importing its plugin here links it into every user of
// the application object (the app and the UI tests).
Q_IMPORT_QML_PLUGIN(MorloAIPlugin)

AppModel::AppModel(QObject *parent)
    : AppModel(EngineEnvironment::standard(), parent)
{
}

AppModel::AppModel(const EngineEnvironment &engine, QObject *parent)
    : QObject(parent)
    , m_agentState(new AgentState(this))
    , m_serverManager(new ServerManager(engine, this))
    , m_modelManager(new ModelManager(this))
    , m_messages(new MessageListModel(m_agentState, this))
    , m_sessions(new SessionListModel(m_agentState, this))
    , m_secrets(new SecretStore(QStringLiteral("Morlo AI"), this))
    , m_remoteServers(new RemoteServerList(m_secrets, this))
    , m_activeEndpoint(new ActiveEndpoint(m_serverManager, m_remoteServers, this))
{
    m_modelManager->setServerManager(m_serverManager);
    m_modelManager->setAgentState(m_agentState);
    // Each added server is asked for its models once at start, so the menus can offer them.
    m_remoteServers->refreshAll();
}

AppModel::~AppModel()
{
    m_agentState->flush();
}

AgentManager *AppModel::agentManager()
{
    if (!m_agentManager) {
        m_agentManager = new AgentManager(m_agentState, m_serverManager, this);
        m_agentManager->setActiveEndpoint(m_activeEndpoint);
    }
    return m_agentManager;
}

bool AppModel::loadMainWindow(QQmlApplicationEngine &engine)
{
    SceneRenderer::choose();
    new RestingHeap(this);
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    engine.setInitialProperties({{QStringLiteral("app"), QVariant::fromValue(this)}});
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/MorloAI/Main.qml")));
    return !engine.rootObjects().isEmpty();
}

void AppModel::autoLoad()
{
    if (m_autoLoadDone)
        return;
    m_autoLoadDone = true;
    const auto path = m_agentState->autoLoadModelPath();
    const auto name = m_agentState->autoLoadModelName();
    if (!path || !name || !m_serverManager->engineExecutablePath())
        return;
    m_serverManager->start(*path, *name);
}

void AppModel::shutDown()
{
    if (m_agentManager)
        m_agentManager->cancelGeneration();
    m_agentState->flush();
    if (!m_serverManager->isRunning() && !m_serverManager->isStarting())
        return;
    // stopServer waits for the engine without blocking; give it a short, bounded loop here.
    QEventLoop loop;
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    connect(m_serverManager, &ServerManager::statusMessageChanged, &loop, [this, &loop] {
        if (!m_serverManager->isRunning() && !m_serverManager->isStarting())
            loop.quit();
    });
    m_serverManager->stop();
    if (m_serverManager->isRunning() || m_serverManager->isStarting())
        loop.exec();
}

bool AppModel::mayQuit()
{
    if (m_quitConfirmed || !m_agentState->hasUnsavedChanges())
        return true;
    const auto answer = QMessageBox::question(nullptr, QStringLiteral("Morlo AI"),
                                              tr("Quit without saving the latest changes?"),
                                              QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Cancel);
    m_quitConfirmed = answer == QMessageBox::Discard;
    return m_quitConfirmed;
}

bool AppModel::confirmQuit()
{
    return !QGuiApplication::quitOnLastWindowClosed() || mayQuit();
}

void AppModel::requestQuit()
{
    if (mayQuit())
        QCoreApplication::quit();
}
