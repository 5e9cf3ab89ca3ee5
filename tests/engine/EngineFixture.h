#pragma once

#include "engine/EngineEnvironment.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>
#include <QTemporaryDir>

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

    // Scripts every launch of the fake engine; each launch is recorded in launches()
    // ({"argv", "libraryPath", "pid"}).
    void setEngineScript(QJsonObject script);
    QList<QJsonObject> launches() const;
    // The command line of one launch, without the program name.
    static QStringList arguments(const QJsonObject &launch);

private:
    QTemporaryDir m_dir;
};

int freePort();
// Whether the process runs (ended ones, zombies included, no longer show their executable).
bool isAlive(qint64 pid);
