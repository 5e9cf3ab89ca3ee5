#include "llm/RemoteServerList.h"

#include "conversation/DefaultsStore.h"
#include "llm/ConnectionTester.h"
#include "platform/SecretStore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QPointer>

namespace {

// The settings entry: a JSON list of {id, name, baseUrl, hasKey, plainHttpWarned}; never a key.
const QString settingsKey = QStringLiteral("remoteServers");

} // namespace

RemoteServerList::RemoteServerList(SecretStore *secrets, QObject *parent,
                                   std::chrono::milliseconds connectionTimeout)
    : QObject(parent)
    , m_secrets(secrets)
    , m_network(new QNetworkAccessManager(this))
    , m_connectionTimeout(connectionTimeout)
{
    connect(m_secrets, &SecretStore::keyringAvailableChanged, this, &RemoteServerList::keyringAvailableChanged);
    load();
}

bool RemoteServerList::keyringAvailable() const
{
    return m_secrets->keyringAvailable();
}

void RemoteServerList::load()
{
    const QJsonArray stored = QJsonDocument::fromJson(DefaultsStore().text(settingsKey).toUtf8()).array();
    for (const QJsonValue &value : stored) {
        const QJsonObject object = value.toObject();
        RemoteServer server{QUuid::fromString(object.value(QLatin1String("id")).toString()),
                            object.value(QLatin1String("name")).toString(),
                            RemoteServer::normalizedUrl(object.value(QLatin1String("baseUrl")).toString()),
                            object.value(QLatin1String("hasKey")).toBool(),
                            object.value(QLatin1String("plainHttpWarned")).toBool()};
        // A hand-edited or damaged entry is skipped rather than offered half-working.
        if (server.id.isNull() || !RemoteServer::validate(server.name, server.baseUrl.toString()).isEmpty())
            continue;
        m_servers.append(server);
    }
}

void RemoteServerList::store() const
{
    QJsonArray entries;
    for (const RemoteServer &server : m_servers)
        entries.append(QJsonObject{{"id", server.id.toString(QUuid::WithoutBraces).toUpper()},
                                   {"name", server.name},
                                   {"baseUrl", server.baseUrl.toString()},
                                   {"hasKey", server.hasKey},
                                   {"plainHttpWarned", server.plainHttpWarned}});
    DefaultsStore defaults;
    defaults.setValue(settingsKey, QString::fromUtf8(QJsonDocument(entries).toJson(QJsonDocument::Compact)));
    defaults.sync();
}

int RemoteServerList::indexOf(const QUuid &id) const
{
    for (int i = 0; i < m_servers.size(); ++i)
        if (m_servers.at(i).id == id)
            return i;
    return -1;
}

std::optional<RemoteServer> RemoteServerList::server(const QUuid &id) const
{
    const int index = indexOf(id);
    if (index < 0)
        return std::nullopt;
    return m_servers.at(index);
}

QString RemoteServerList::validate(const QString &name, const QString &baseUrl) const
{
    return RemoteServer::validate(name, baseUrl);
}

QCoro::Task<QUuid> RemoteServerList::save(QUuid id, QString name, QString baseUrl, QString apiKey, bool keyEdited)
{
    if (!RemoteServer::validate(name, baseUrl).isEmpty())
        co_return QUuid();
    int index = indexOf(id);
    if (index < 0) {
        m_servers.append(RemoteServer{QUuid::createUuid(), {}, {}, false, false});
        index = int(m_servers.size()) - 1;
    }
    RemoteServer &server = m_servers[index];
    const QUrl url = RemoteServer::normalizedUrl(baseUrl);
    // A new address is a new place to warn about.
    if (server.baseUrl.host() != url.host() || server.baseUrl.scheme() != url.scheme())
        server.plainHttpWarned = false;
    server.name = name.trimmed();
    server.baseUrl = url;
    if (keyEdited)
        server.hasKey = !apiKey.isEmpty();
    const RemoteServer saved = server;
    m_state.remove(saved.id);
    store();
    emit serversChanged();

    if (keyEdited && apiKey.isEmpty())
        co_await m_secrets->remove(saved.keyReference());
    else if (keyEdited)
        co_await m_secrets->write(saved.keyReference(), apiKey);
    co_return saved.id;
}

QCoro::Task<> RemoteServerList::remove(QUuid id)
{
    const int index = indexOf(id);
    if (index < 0)
        co_return;
    const RemoteServer gone = m_servers.takeAt(index);
    m_state.remove(id);
    store();
    emit serversChanged();
    if (gone.hasKey)
        co_await m_secrets->remove(gone.keyReference());
}

QCoro::Task<QString> RemoteServerList::apiKey(QUuid id)
{
    const std::optional<RemoteServer> found = server(id);
    if (!found || !found->hasKey)
        co_return QString();
    co_return (co_await m_secrets->read(found->keyReference())).value_or(QString());
}

QCoro::Task<> RemoteServerList::testConnection(QUuid id)
{
    const std::optional<RemoteServer> found = server(id);
    if (!found)
        co_return;
    QPointer<RemoteServerList> self(this);
    m_state[id].status = QStringLiteral("testing");
    emit serversChanged();
    const QString key = co_await apiKey(id);
    if (!self)
        co_return;
    const ConnectionTester::Result result =
        co_await ConnectionTester::fetchModels(m_network, found->baseUrl, key, m_connectionTimeout);
    if (!self || indexOf(id) < 0)
        co_return; // removed while it was being asked
    m_state[id] = Reach{result.ok() ? QStringLiteral("reachable") : QStringLiteral("failed"), result.error,
                        result.models};
    emit serversChanged();
    emit connectionTested(id);
}

void RemoteServerList::saveServer(const QString &id, const QString &name, const QString &baseUrl,
                                  const QString &apiKey, bool keyEdited)
{
    // Saving tests the connection at once, so the user sees the models or the problem.
    [](QPointer<RemoteServerList> self, QUuid id, QString name, QString url, QString key, bool edited) -> QCoro::Task<> {
        const QUuid saved = co_await self->save(id, name, url, key, edited);
        if (self && !saved.isNull())
            co_await self->testConnection(saved);
    }(this, QUuid::fromString(id), name, baseUrl, apiKey, keyEdited);
}

void RemoteServerList::removeServer(const QString &id)
{
    remove(QUuid::fromString(id));
}

void RemoteServerList::testServer(const QString &id)
{
    testConnection(QUuid::fromString(id));
}

void RemoteServerList::refreshAll()
{
    for (const RemoteServer &server : std::as_const(m_servers))
        testConnection(server.id);
}

void RemoteServerList::acknowledgePlainHttp(const QString &id)
{
    const int index = indexOf(QUuid::fromString(id));
    if (index < 0 || m_servers.at(index).plainHttpWarned)
        return;
    m_servers[index].plainHttpWarned = true;
    store();
    emit serversChanged();
}

QVariantList RemoteServerList::serversForView() const
{
    QVariantList servers;
    for (const RemoteServer &server : m_servers) {
        const Reach reach = m_state.value(server.id);
        servers.append(QVariantMap{
            {"id", server.id.toString(QUuid::WithoutBraces)},
            {"name", server.name},
            {"baseUrl", server.baseUrl.toString()},
            {"hasKey", server.hasKey},
            {"status", reach.status},
            {"error", reach.error},
            {"models", reach.models},
            {"plainHttpWarning", server.plainHttpWarned ? QString() : RemoteServer::plainHttpWarning(server.baseUrl)},
        });
    }
    return servers;
}

QVariantList RemoteServerList::availableModels() const
{
    QVariantList models;
    for (const RemoteServer &server : m_servers)
        for (const QString &model : m_state.value(server.id).models)
            models.append(QVariantMap{{"serverId", server.id.toString(QUuid::WithoutBraces)},
                                      {"serverName", server.name},
                                      {"model", model}});
    return models;
}
