#pragma once

#include "engine/EngineEnvironment.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>
#include <QTemporaryDir>

class ServerManager;

// A private folder, a free port and short waits for one engine-manager test, with the fake
// engine scripted through its environment variable.
class EngineFixture
{
public:
    EngineFixture();
    ~EngineFixture();

    EngineEnvironment environment;

    QString path(const QString &name) const;
    static QString fakeEngine();
    static QString fakeBrew();

    // Scripts every launch of the fake engine; each launch is recorded in launches().
    void setEngineScript(QJsonObject script);
    QList<QJsonObject> launches() const;
    // The command line of one launch, without the program name.
    static QStringList arguments(const QJsonObject &launch);
    static QString libraryPath(const QJsonObject &launch);
    // One launch of `model` in short: the context size, the arguments after the fixed ones, and
    // "lib=stub" or "lib=<path>" when the loader path is set. A launch whose fixed arguments
    // (model, a port of the range, host, no token limit) differ is given whole instead.
    QString launchSummary(const QJsonObject &launch, const QString &model) const;

    // Every status text the manager shows from now on, in order.
    static QStringList *recordStatuses(ServerManager &manager);

private:
    QTemporaryDir m_dir;
};

int freePort();
