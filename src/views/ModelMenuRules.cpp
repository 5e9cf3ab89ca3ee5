#include "ModelMenuRules.h"

#include "SettingsRules.h"
#include "engine/ServerManager.h"
#include "llm/ActiveEndpoint.h"
#include "llm/RemoteServerList.h"

QVariantList ModelMenuRules::entries(QObject *modelManager, QObject *serverManager, QObject *remoteServers,
                                     QObject *activeEndpoint)
{
    const auto *engine = qobject_cast<ServerManager *>(serverManager);
    const auto *servers = qobject_cast<RemoteServerList *>(remoteServers);
    const auto *active = qobject_cast<ActiveEndpoint *>(activeEndpoint);
    const bool remoteActive = active && active->isRemote();

    QVariantList entries;
    const QVariantList files = SettingsRules::downloadedModels(modelManager);
    if (!files.isEmpty())
        entries.append(QVariantMap{{"kind", "header"}, {"label", QStringLiteral("This computer")}});
    for (const QVariant &file : files) {
        const QVariantMap pair = file.toMap();
        const QString path = pair.value(QStringLiteral("path")).toString();
        const bool loaded = engine && engine->isRunning() && engine->activeModelPath() == path;
        entries.append(QVariantMap{{"kind", "local"},
                                   {"label", pair.value(QStringLiteral("label"))},
                                   {"path", path},
                                   {"loaded", loaded},
                                   {"checked", loaded && !remoteActive}});
    }
    if (!servers)
        return entries;
    for (const RemoteServer &server : servers->list()) {
        const QStringList models = servers->models(server.id);
        if (models.isEmpty())
            continue; // not reachable (or not asked yet): nothing to offer
        const QString id = server.id.toString(QUuid::WithoutBraces);
        entries.append(QVariantMap{{"kind", "header"}, {"label", server.name}});
        for (const QString &model : models)
            entries.append(QVariantMap{{"kind", "remote"},
                                       {"label", model},
                                       {"serverId", id},
                                       {"model", model},
                                       {"checked", remoteActive && active->serverIdText() == id && active->model() == model}});
    }
    return entries;
}
