#pragma once

#include "llm/RemoteServer.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QVariantList>
#include <chrono>
#include <optional>
#include <qcorotask.h>

class QNetworkAccessManager;
class SecretStore;

// The servers the user added, kept in the settings without their keys (the keys go to the
// keyring through SecretStore), and what each one last said it serves.
class RemoteServerList : public QObject
{
    Q_OBJECT
    // One map per server: id, name, baseUrl, hasKey, status ("untested", "testing", "reachable",
    // "failed"), error, models, plainHttpWarning (empty once shown and dismissed).
    Q_PROPERTY(QVariantList servers READ serversForView NOTIFY serversChanged)
    // Every model of every reachable server: serverId, serverName, model.
    Q_PROPERTY(QVariantList availableModels READ availableModels NOTIFY serversChanged)
    Q_PROPERTY(bool keyringAvailable READ keyringAvailable NOTIFY keyringAvailableChanged)

public:
    static constexpr std::chrono::milliseconds defaultConnectionTimeout{10000};

    explicit RemoteServerList(SecretStore *secrets, QObject *parent = nullptr,
                              std::chrono::milliseconds connectionTimeout = defaultConnectionTimeout);

    QList<RemoteServer> list() const { return m_servers; }
    std::optional<RemoteServer> server(const QUuid &id) const;
    QStringList models(const QUuid &id) const { return m_state.value(id).models; }
    QString lastError(const QUuid &id) const { return m_state.value(id).error; }
    bool keyringAvailable() const;

    // Adds (id null) or changes a server; the key is written only when `keyEdited` (an empty key
    // then removes it). Returns the server's id, or a null id when name or address are invalid.
    QCoro::Task<QUuid> save(QUuid id, QString name, QString baseUrl, QString apiKey, bool keyEdited);
    QCoro::Task<> remove(QUuid id);
    // Asks the server for its models; the outcome is in models(), lastError() and `servers`.
    QCoro::Task<> testConnection(QUuid id);
    // The server's key from the keyring (or this run's memory), or empty when it has none.
    QCoro::Task<QString> apiKey(QUuid id);

    Q_INVOKABLE QString validate(const QString &name, const QString &baseUrl) const;
    Q_INVOKABLE void saveServer(const QString &id, const QString &name, const QString &baseUrl,
                                const QString &apiKey, bool keyEdited);
    Q_INVOKABLE void removeServer(const QString &id);
    Q_INVOKABLE void testServer(const QString &id);
    Q_INVOKABLE void refreshAll();
    // The user has read the plain-HTTP warning of this server; it is not shown again.
    Q_INVOKABLE void acknowledgePlainHttp(const QString &id);

    QVariantList serversForView() const;
    QVariantList availableModels() const;

signals:
    void serversChanged();
    void keyringAvailableChanged();
    void connectionTested(const QUuid &id);

private:
    struct Reach
    {
        QString status = QStringLiteral("untested");
        QString error;
        QStringList models;
    };

    void load();
    void store() const;
    int indexOf(const QUuid &id) const;

    SecretStore *m_secrets;
    QNetworkAccessManager *m_network;
    std::chrono::milliseconds m_connectionTimeout;
    QList<RemoteServer> m_servers;
    QHash<QUuid, Reach> m_state;
};
