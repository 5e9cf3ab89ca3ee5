#include "llm/ActiveEndpoint.h"

#include "engine/ServerManager.h"
#include "llm/RemoteServerList.h"

ActiveEndpoint::ActiveEndpoint(ServerManager *serverManager, RemoteServerList *servers, QObject *parent)
    : QObject(parent)
    , m_serverManager(serverManager)
    , m_servers(servers)
{
    connect(serverManager, &ServerManager::statusMessageChanged, this, &ActiveEndpoint::changed);
    connect(serverManager, &ServerManager::isRunningChanged, this, &ActiveEndpoint::changed);
    connect(serverManager, &ServerManager::activeModelChanged, this, &ActiveEndpoint::changed);
    // Loading a local model is choosing it.
    connect(serverManager, &ServerManager::isStartingChanged, this, [this] {
        if (m_serverManager->isStarting())
            chooseLocal();
    });
    if (servers)
        connect(servers, &RemoteServerList::serversChanged, this, [this] {
            // A removed server cannot stay chosen.
            if (isRemote() && !m_servers->server(m_serverId))
                chooseLocal();
            else
                emit changed();
        });
}

QString ActiveEndpoint::serverIdText() const
{
    return m_serverId.isNull() ? QString() : m_serverId.toString(QUuid::WithoutBraces);
}

QString ActiveEndpoint::serverName() const
{
    if (!isRemote() || !m_servers)
        return {};
    const auto server = m_servers->server(m_serverId);
    return server ? server->name : QString();
}

bool ActiveEndpoint::isReady() const
{
    if (isRemote())
        return m_servers && m_servers->server(m_serverId).has_value();
    return m_serverManager && m_serverManager->isRunning();
}

QString ActiveEndpoint::statusText() const
{
    if (isRemote())
        return QStringLiteral("Ready — ") + answeringText();
    return m_serverManager ? m_serverManager->statusMessage() : QString();
}

QString ActiveEndpoint::modelLabel() const
{
    if (isRemote())
        return m_model;
    return m_serverManager ? m_serverManager->activeModelName().value_or(QString()) : QString();
}

QString ActiveEndpoint::answeringText() const
{
    if (isRemote())
        return QStringLiteral("%1 on %2").arg(m_model, serverName());
    return modelLabel();
}

void ActiveEndpoint::chooseRemote(const QString &serverId, const QString &model)
{
    const QUuid id = QUuid::fromString(serverId);
    if (!m_servers || !m_servers->server(id) || model.isEmpty())
        return;
    m_serverId = id;
    m_model = model;
    emit changed();
}

void ActiveEndpoint::chooseLocal()
{
    if (!isRemote())
        return;
    m_serverId = QUuid();
    m_model.clear();
    emit changed();
}

std::optional<ActiveEndpoint::Endpoint> ActiveEndpoint::localEngine(const ServerManager &serverManager)
{
    if (!serverManager.isRunning())
        return std::nullopt;
    return Endpoint{QUrl(QStringLiteral("http://127.0.0.1:%1/v1").arg(serverManager.port())), serverManager.apiKey(),
                    QStringLiteral("local"), serverManager.activeModelName().value_or(QString()), QString()};
}

QCoro::Task<std::optional<ActiveEndpoint::Endpoint>> ActiveEndpoint::forTurn()
{
    if (!isRemote())
        co_return m_serverManager ? localEngine(*m_serverManager) : std::nullopt;
    const auto server = m_servers ? m_servers->server(m_serverId) : std::nullopt;
    if (!server)
        co_return std::nullopt;
    const QString model = m_model;
    const QString key = co_await m_servers->apiKey(server->id);
    co_return Endpoint{server->baseUrl, key, model, model, server->name};
}
