#include "models/ModelManager.h"

#include "conversation/AgentState.h"
#include "engine/ServerManager.h"
#include "models/Catalog.h"
#include "models/DownloadTexts.h"
#include "models/ModelListModel.h"
#include "models/PhysicalMemory.h"
#include "platform/AppPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

namespace {
constexpr double bytesPerGB = 1073741824.0;
// Room the engine needs beyond the file itself before a model is likely to fit.
constexpr double memoryHeadroom = 1.2;
} // namespace

ModelManager::ModelManager(QObject *parent)
    : ModelManager(HFModel::defaultHubBaseURL(), DownloadTiming{}, parent)
{
}

ModelManager::ModelManager(const QUrl &hubBaseURL, const DownloadTiming &timing, QObject *parent)
    : QObject(parent)
    , m_hubBaseURL(hubBaseURL)
    , m_timing(timing)
    , m_models(catalog())
    , m_physicalMemoryBytes(::physicalMemoryBytes())
    , m_variantList(new ModelListModel(this, this))
{
    refreshDownloadStatus();
}

// Running sessions are children: they go with the manager and take their temporary files along.
ModelManager::~ModelManager() = default;

void ModelManager::clearLastError()
{
    setLastError(std::nullopt);
}

void ModelManager::setLastError(const std::optional<QString> &error)
{
    if (m_lastError == error)
        return;
    m_lastError = error;
    emit lastErrorChanged();
}

ServerManager *ModelManager::serverManager() const
{
    return m_serverManager;
}

AgentState *ModelManager::agentState() const
{
    return m_agentState;
}

void ModelManager::setServerManager(ServerManager *serverManager)
{
    m_serverManager = serverManager;
}

void ModelManager::setAgentState(AgentState *agentState)
{
    m_agentState = agentState;
}

std::optional<ModelManager::Location> ModelManager::locate(const QUuid &modelId,
                                                           const QUuid &variantId) const
{
    for (int m = 0; m < m_models.size(); ++m) {
        if (m_models[m].id != modelId)
            continue;
        const QList<ModelVariant> &variants = m_models[m].variants;
        for (int v = 0; v < variants.size(); ++v)
            if (variants[v].id == variantId)
                return Location{m, v};
        return std::nullopt;
    }
    return std::nullopt;
}

template<typename Edit>
void ModelManager::updateVariant(const QUuid &modelId, const QUuid &variantId, Edit edit)
{
    const std::optional<Location> at = locate(modelId, variantId);
    if (!at)
        return;
    ModelVariant variant = m_models[at->model].variants[at->variant];
    edit(variant);
    if (variant == m_models[at->model].variants[at->variant])
        return;
    m_models[at->model].variants[at->variant] = variant;
    emit variantChanged(at->model, at->variant);
}

QUrl ModelManager::localFileURL(const HFModel &model, const ModelVariant &variant)
{
    const QDir repoDir(QDir(AppPaths::modelsDirectory()).filePath(model.localDirectoryName()));
    return QUrl::fromLocalFile(repoDir.filePath(variant.filename));
}

void ModelManager::refreshDownloadStatus()
{
    for (const HFModel &model : std::as_const(m_models)) {
        for (const ModelVariant &variant : model.variants) {
            const bool present = QFileInfo::exists(localFileURL(model, variant).toLocalFile());
            updateVariant(model.id, variant.id, [present](ModelVariant &v) { v.isDownloaded = present; });
        }
    }
}

void ModelManager::downloadVariant(const HFModel &model, const ModelVariant &variant)
{
    const std::optional<Location> at = locate(model.id, variant.id);
    if (!at || m_models[at->model].variants[at->variant].isDownloading)
        return;
    const std::optional<QUrl> url = model.downloadURL(variant, m_hubBaseURL);
    if (!url)
        return;
    QDir().mkpath(QDir(AppPaths::modelsDirectory()).filePath(model.localDirectoryName()));
    const QString destination = localFileURL(model, variant).toLocalFile();

    updateVariant(model.id, variant.id, [](ModelVariant &v) {
        v.isDownloading = true;
        v.downloadProgress = 0.0;
        v.downloadedBytes = 0;
        v.totalBytes = 0;
        v.downloadStartTime = QDateTime::currentDateTimeUtc();
    });

    const QPointer<ModelManager> self(this);
    const QUuid modelId = model.id;
    const QUuid variantId = variant.id;
    auto *session = new HFDownloadSession(
        destination,
        [self, modelId, variantId](double fraction, qint64 written, qint64 expected) {
            if (!self)
                return;
            // Applied even after a cancel: the row is reset again when the cancellation reports.
            self->updateVariant(modelId, variantId, [&](ModelVariant &v) {
                v.downloadProgress = fraction;
                v.downloadedBytes = written;
                v.totalBytes = expected;
            });
        },
        [self, modelId, variantId](const std::optional<QString> &failure) {
            if (self)
                self->finishDownload(modelId, variantId, failure);
        },
        m_timing, this);
    m_activeSessions.insert(variant.id, session);
    session->start(*url);
}

void ModelManager::finishDownload(const QUuid &modelId, const QUuid &variantId,
                                  const std::optional<QString> &failure)
{
    if (!locate(modelId, variantId))
        return;
    if (!failure) {
        updateVariant(modelId, variantId, [](ModelVariant &v) {
            v.isDownloading = false;
            v.isDownloaded = true;
            v.downloadProgress = 1.0;
            v.downloadStartTime.reset();
        });
    } else {
        updateVariant(modelId, variantId, [](ModelVariant &v) {
            v.isDownloading = false;
            v.downloadProgress = 0.0;
            v.downloadStartTime.reset();
        });
        setLastError(QStringLiteral("Download failed: ") + *failure);
    }
    m_activeSessions.remove(variantId);
}

void ModelManager::cancelDownload(const HFModel &model, const ModelVariant &variant)
{
    if (HFDownloadSession *session = m_activeSessions.value(variant.id))
        session->cancel();
    m_activeSessions.remove(variant.id);
    updateVariant(model.id, variant.id, [](ModelVariant &v) {
        v.isDownloading = false;
        v.downloadProgress = 0.0;
        v.downloadedBytes = 0;
        v.totalBytes = 0;
        v.downloadStartTime.reset();
    });
}

void ModelManager::deleteVariant(const HFModel &model, const ModelVariant &variant)
{
    const QString path = localFileURL(model, variant).toLocalFile();
    if (m_serverManager && m_serverManager->activeModelPath() == path) {
        // Stopped once this call has returned, so the file is gone before the engine exits.
        QTimer::singleShot(0, m_serverManager, [serverManager = m_serverManager] {
            if (serverManager)
                serverManager->stopServer();
        });
    }
    if (m_agentState && m_agentState->autoLoadModelPath() == path) {
        // The next start must not try to load a file that is gone.
        m_agentState->setAutoLoadModel(std::nullopt, std::nullopt);
        m_agentState->save();
    }
    QFile::remove(path);
    updateVariant(model.id, variant.id, [](ModelVariant &v) {
        v.isDownloaded = false;
        v.downloadProgress = 0.0;
    });
}

void ModelManager::loadVariant(const HFModel &model, const ModelVariant &variant)
{
    if (!m_serverManager)
        return;
    m_serverManager->startServer(localFileURL(model, variant).toLocalFile(),
                                 model.displayName + QLatin1Char(' ') + variant.quantization);
}

bool ModelManager::exceedsMemory(const ModelVariant &variant, qint64 physicalMemoryBytes)
{
    const auto needed = static_cast<qint64>(variant.sizeGB * bytesPerGB * memoryHeadroom);
    return physicalMemoryBytes < needed;
}

bool ModelManager::exceedsAvailableRAM(const ModelVariant &variant) const
{
    return exceedsMemory(variant, m_physicalMemoryBytes);
}

qint64 ModelManager::physicalMemoryGB() const
{
    return static_cast<qint64>(static_cast<double>(m_physicalMemoryBytes) / bytesPerGB);
}

QString ModelManager::memoryWarningText() const
{
    return QString::asprintf("May exceed available RAM (%lld GB). Model may load slowly or fail.",
                             static_cast<long long>(physicalMemoryGB()));
}

void ModelManager::setPhysicalMemoryBytes(qint64 bytes)
{
    if (m_physicalMemoryBytes == bytes)
        return;
    m_physicalMemoryBytes = bytes;
    emit physicalMemoryChanged();
    m_variantList->refreshAll();
}

QString ModelManager::progressText(double progress, qint64 downloadedBytes, qint64 totalBytes)
{
    return DownloadTexts::progressText(progress, downloadedBytes, totalBytes);
}

QString ModelManager::remainingTimeText(const QDateTime &startTime, double progress)
{
    return DownloadTexts::remainingTimeText(startTime, progress, QDateTime::currentDateTimeUtc());
}
