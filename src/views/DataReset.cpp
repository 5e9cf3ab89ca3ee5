#include "DataReset.h"

#include "conversation/AgentState.h"
#include "engine/ServerManager.h"
#include "models/ModelManager.h"
#include "platform/AppPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <qcorosignal.h>

QCoro::Task<> DataReset::deleteAllData(AgentState *state, ServerManager *serverManager,
                                       ModelManager *modelManager)
{
    QPointer<AgentState> guardedState(state);
    QPointer<ModelManager> guardedModels(modelManager);
    if (serverManager)
        co_await serverManager->stopServer();
    // A turn still running would write into the conversations being erased: with the engine
    // gone it ends at once; a tool call waiting for approval is denied so it ends too.
    while (guardedState && guardedState->isLoading()) {
        guardedState->resolveApproval(false);
        co_await qCoro(guardedState.data(), &AgentState::isLoadingChanged);
    }
    if (guardedState)
        guardedState->resetAllData();
    removeModelsDirectory(AppPaths::modelsDirectory(), AppPaths::appSupportDirectory());
    if (guardedModels)
        guardedModels->refreshDownloadStatus();
}

void DataReset::start(QObject *agentState, QObject *serverManager, QObject *modelManager)
{
    deleteAllData(qobject_cast<AgentState *>(agentState),
                  qobject_cast<ServerManager *>(serverManager),
                  qobject_cast<ModelManager *>(modelManager));
}

void DataReset::removeModelsDirectory(const QString &modelsDirectory, const QString &appDirectory)
{
    const QFileInfo models(modelsDirectory);
    const QString app = QDir(appDirectory).absolutePath() + u'/';
    // Judged by the path as written, not where a link points: the folder must be the app's own.
    if (!QDir::cleanPath(models.absoluteFilePath()).startsWith(app))
        return;
    if (models.isSymLink()) {
        QFile::remove(models.absoluteFilePath());
        return;
    }
    if (models.isDir())
        QDir(models.absoluteFilePath()).removeRecursively();
}
