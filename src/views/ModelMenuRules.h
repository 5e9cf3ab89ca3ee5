#pragma once

#include <QObject>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

// The composer's model menu: this computer's downloaded files, then the models of each reachable
// server under its name. QML only draws the entries.
class ModelMenuRules : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    // Entries in display order, each a map with "kind" ("header", "local" or "remote"), "label",
    // "checked" (the model that answers now), "path" and "loaded" (local: the engine runs on it) or "serverId" and "model"
    // (remote). Any of the objects may be null; their part is then left out.
    Q_INVOKABLE static QVariantList entries(QObject *modelManager, QObject *serverManager,
                                            QObject *remoteServers, QObject *activeEndpoint);
};
