#pragma once

#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>
#include <qcoro/qcorotask.h>

class AgentState;
class ModelManager;
class ServerManager;

// "Delete All Data": stops the engine, waits for a running turn to end, resets the store (every
// setting, the conversations) and removes the downloaded models.
// Recovery copies of unreadable archives and the substitute GPU library stay on disk.
class DataReset : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    static QCoro::Task<> deleteAllData(AgentState *state, ServerManager *serverManager,
                                       ModelManager *modelManager);
    // Starts the work and returns at once; the view shows its own phases meanwhile.
    Q_INVOKABLE static void start(QObject *agentState, QObject *serverManager, QObject *modelManager);

    // Removes `modelsDirectory` when it lies inside `appDirectory`. A models folder that is a
    // symbolic link loses only the link; links inside it are removed, never followed.
    static void removeModelsDirectory(const QString &modelsDirectory, const QString &appDirectory);
};
