#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QUuid>
#include <optional>
#include <qcorotask.h>

class RemoteServerList;
class ServerManager;

// Where the next turn goes: our own engine (the default) or one model of a server the user
// added. The agent asks before each turn; choosing a server's model starts no engine and leaves
// a running local engine running.
class ActiveEndpoint : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isRemote READ isRemote NOTIFY changed)
    Q_PROPERTY(QString serverId READ serverIdText NOTIFY changed)
    Q_PROPERTY(QString model READ model NOTIFY changed)
    Q_PROPERTY(bool isReady READ isReady NOTIFY changed)
    // "Ready — <model> on <server>" for a server's model; the engine's status otherwise.
    Q_PROPERTY(QString statusText READ statusText NOTIFY changed)
    // The model's name for the composer's model button (empty when none is chosen).
    Q_PROPERTY(QString modelLabel READ modelLabel NOTIFY changed)
    // "<model> on <server>" for a server's model, the loaded file's name otherwise, or empty.
    Q_PROPERTY(QString answeringText READ answeringText NOTIFY changed)

public:
    // Everything one turn needs to reach its model.
    struct Endpoint
    {
        QUrl baseUrl;        // …/v1
        QString apiKey;
        QString requestModel; // what the request names
        QString model;        // what the reply's caption names
        QString server;       // empty for our own engine
    };

    ActiveEndpoint(ServerManager *serverManager, RemoteServerList *servers, QObject *parent = nullptr);

    bool isRemote() const { return !m_serverId.isNull(); }
    QString serverIdText() const;
    QString model() const { return m_model; }
    QString serverName() const;
    bool isReady() const;
    QString statusText() const;
    QString modelLabel() const;
    QString answeringText() const;

    Q_INVOKABLE void chooseRemote(const QString &serverId, const QString &model);
    Q_INVOKABLE void chooseLocal();

    // The endpoint for a turn starting now, or none when nothing can answer.
    QCoro::Task<std::optional<Endpoint>> forTurn();
    // Our own engine, when it is running.
    static std::optional<Endpoint> localEngine(const ServerManager &serverManager);

signals:
    void changed();

private:
    QPointer<ServerManager> m_serverManager;
    QPointer<RemoteServerList> m_servers;
    QUuid m_serverId; // null = our own engine
    QString m_model;
};
