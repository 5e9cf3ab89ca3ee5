#include "models/ModelManager.h"

#include "conversation/AgentState.h"
#include "engine/ServerManager.h"
#include "models/Catalog.h"
#include "models/DownloadTexts.h"
#include "models/GgufFile.h"
#include "models/UserModels.h"
#include "models/ModelListModel.h"
#include "models/PhysicalMemory.h"
#include "platform/AppPaths.h"
#include "platform/SecretStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

namespace {
constexpr double bytesPerGB = 1073741824.0;
// Room the engine needs beyond the file itself before a model is likely to fit.
constexpr double memoryHeadroom = 1.2;

// Keyring requests finish on their own time; the store answering them lives as long as the
// application, so a library that goes away first never leaves one without its store.
SecretStore *secretStoreFor(const QString &service)
{
    static QHash<QString, SecretStore *> stores;
    SecretStore *&store = stores[service];
    if (!store)
        store = new SecretStore(service, QCoreApplication::instance());
    return store;
}
} // namespace

ModelManager::ModelManager(QObject *parent)
    : ModelManager(HFModel::defaultHubBaseURL(), DownloadTiming{}, parent)
{
}

ModelManager::ModelManager(const QUrl &hubBaseURL, const DownloadTiming &timing, QObject *parent,
                           const QString &secretService)
    : QObject(parent)
    , m_hubBaseURL(hubBaseURL)
    , m_hub(new HFHubClient(hubBaseURL, this))
    , m_hubBrowser(new HubBrowser(this, m_hub, secretStoreFor(secretService), 300, this))
    , m_timing(timing)
    , m_models(catalog() + UserModels::load())
    , m_physicalMemoryBytes(::physicalMemoryBytes())
    , m_variantList(new ModelListModel(this, this))
{
    const QHash<QString, QString> sources = UserModels::loadCatalogSources();
    for (HFModel &model : m_models)
        if (model.origin == ModelOrigin::catalog && !model.variants.isEmpty())
            model.sourceRepo = sources.value(model.variants.first().filename);
    refreshDownloadStatus();
}

void ModelManager::setModels(QList<HFModel> models)
{
    m_models = std::move(models);
    UserModels::save(m_models);
    emit modelsReset();
}

// Running sessions are children: they go with the manager and take their temporary files along.
ModelManager::~ModelManager() = default;

void ModelManager::clearLastError()
{
    setLastError(std::nullopt);
}

void ModelManager::setLastError(const std::optional<QString> &error,
                                std::optional<std::pair<QUuid, QUuid>> failedDownload)
{
    if (m_lastError == error && m_failedDownload == failedDownload)
        return;
    m_lastError = error;
    m_failedDownload = failedDownload;
    emit lastErrorChanged();
}

void ModelManager::retryDownload()
{
    const std::optional<std::pair<QUuid, QUuid>> failed = m_failedDownload;
    clearLastError();
    const std::optional<Location> at = failed ? locate(failed->first, failed->second) : std::nullopt;
    if (!at)
        return;
    const HFModel model = m_models[at->model];
    const ModelVariant &variant = model.variants[at->variant];
    if (!variant.isDownloading && !variant.isDownloaded)
        downloadVariant(model, variant);
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
    if (!variant.localPath.isEmpty())
        return QUrl::fromLocalFile(variant.localPath);
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
    if (!at || m_models[at->model].variants[at->variant].isDownloading || model.origin == ModelOrigin::file)
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
        v.resumedBytes = 0;
    });

    const QPointer<ModelManager> self(this);
    const QUuid modelId = model.id;
    const QUuid variantId = variant.id;
    // The session reports before it deletes itself, so its status is still there to read.
    auto reporter = std::make_shared<QPointer<HFDownloadSession>>();
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
        [self, modelId, variantId, reporter](const std::optional<QString> &failure) {
            if (self)
                self->finishDownload(modelId, variantId, failure, *reporter ? (*reporter)->status() : 0);
        },
        m_timing, this);
    *reporter = session;
    connect(session, &HFDownloadSession::resumed, this, [this, modelId, variantId](qint64 kept) {
        updateVariant(modelId, variantId, [kept](ModelVariant &v) { v.resumedBytes = kept; });
    });
    DownloadChecks checks;
    checks.magic = QByteArrayLiteral("GGUF");
    checks.sha256 = m_models[at->model].variants[at->variant].sha256;
    checks.bearerToken = m_hub->token();
    session->setChecks(checks);
    m_activeSessions.insert(variant.id, session);
    session->start(*url);
}

void ModelManager::finishDownload(const QUuid &modelId, const QUuid &variantId,
                                  const std::optional<QString> &failure, int status)
{
    const std::optional<Location> at = locate(modelId, variantId);
    if (!at)
        return;
    // The catalogue names repositories the hub may not have: look for the same file elsewhere.
    const HFModel &model = m_models[at->model];
    if (failure && (status == 401 || status == 404) && model.origin == ModelOrigin::catalog
        && model.sourceRepo.isEmpty())
        offerOtherSource(modelId, variantId);
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
        setLastError(QStringLiteral("Download failed: ") + *failure, std::pair{modelId, variantId});
    }
    m_activeSessions.remove(variantId);
}

QCoro::Task<> ModelManager::offerOtherSource(QUuid modelId, QUuid variantId)
{
    const QPointer<ModelManager> self(this);
    const std::optional<Location> at = locate(modelId, variantId);
    if (!at)
        co_return;
    const QString ownRepo = m_models[at->model].repo;
    const QString filename = m_models[at->model].variants[at->variant].filename;
    // The most-downloaded repositories with the same name part come first.
    const HubAnswer<QList<HFHubRepository>> found = co_await m_hub->search(ownRepo.section(QLatin1Char('/'), 1));
    if (!self || !found.value)
        co_return;
    for (const HFHubRepository &candidate : *found.value) {
        if (candidate.repo == ownRepo)
            continue;
        const HubAnswer<QList<HFHubFile>> files = co_await m_hub->listFiles(candidate.repo);
        if (!self)
            co_return;
        if (!files.value)
            continue;
        const bool holdsFile = std::any_of(files.value->begin(), files.value->end(),
                                           [&](const HFHubFile &file) { return file.filename == filename; });
        if (!holdsFile || !locate(modelId, variantId))
            continue;
        m_sourceOffer = SourceOffer{modelId, variantId, candidate.repo,
                                    QStringLiteral("Download %1 from %2?").arg(filename, candidate.repo)};
        emit sourceOfferChanged();
        co_return;
    }
}

void ModelManager::acceptSourceOffer()
{
    if (!m_sourceOffer)
        return;
    const SourceOffer offer = *std::exchange(m_sourceOffer, std::nullopt);
    emit sourceOfferChanged();
    const std::optional<Location> at = locate(offer.modelId, offer.variantId);
    if (!at)
        return;
    HFModel &model = m_models[at->model];
    model.sourceRepo = offer.repo;
    UserModels::saveCatalogSource(model.variants[at->variant].filename, offer.repo);
    m_variantList->refreshAll();
    downloadVariant(model, model.variants[at->variant]);
}

void ModelManager::declineSourceOffer()
{
    if (m_sourceOffer) {
        m_sourceOffer.reset();
        emit sourceOfferChanged();
    }
}

QString ModelManager::openModelFile(const QUrl &file)
{
    const QString path = file.isLocalFile() ? file.toLocalFile() : file.toString();
    const std::variant<GgufFile, QString> read = GgufFile::read(path);
    if (const QString *problem = std::get_if<QString>(&read))
        return *problem;
    const GgufFile &gguf = std::get<GgufFile>(read);
    for (const HFModel &model : std::as_const(m_models))
        for (const ModelVariant &variant : model.variants)
            if (variant.localPath == gguf.path)
                return {};
    ModelVariant variant;
    variant.id = QUuid::createUuid();
    variant.quantization = gguf.quantization;
    variant.sizeGB = static_cast<double>(gguf.sizeBytes) / bytesPerGB;
    variant.filename = QFileInfo(gguf.path).fileName();
    variant.localPath = gguf.path;
    variant.isDownloaded = true;
    const HFModel model{QUuid::createUuid(), QString(), gguf.displayName(), gguf.path,
                        gguf.parameterCount, {variant}, ModelOrigin::file, QString()};
    QList<HFModel> models = m_models;
    models.append(model);
    setModels(models);
    return {};
}

void ModelManager::addHubFile(const QString &repo, const HFHubFile &file)
{
    QList<HFModel> models = m_models;
    auto entry = std::find_if(models.begin(), models.end(), [&](const HFModel &m) {
        return m.origin == ModelOrigin::hub && m.repo == repo;
    });
    if (entry == models.end()) {
        models.append(HFModel{QUuid::createUuid(), repo, repo.section(QLatin1Char('/'), 1), repo,
                              QString(), {}, ModelOrigin::hub, QString()});
        entry = models.end() - 1;
    }
    auto variant = std::find_if(entry->variants.begin(), entry->variants.end(),
                                [&](const ModelVariant &v) { return v.filename == file.filename; });
    if (variant == entry->variants.end()) {
        ModelVariant added;
        added.id = QUuid::createUuid();
        added.quantization = file.quantization.isEmpty() ? QStringLiteral("GGUF") : file.quantization;
        added.sizeGB = static_cast<double>(file.sizeBytes) / bytesPerGB;
        added.filename = file.filename;
        added.sha256 = file.sha256;
        entry->variants.append(added);
        variant = entry->variants.end() - 1;
        setModels(models);
        refreshDownloadStatus();
    }
    const HFModel model = *entry;
    const ModelVariant chosen = *variant;
    if (!chosen.isDownloaded)
        downloadVariant(model, chosen);
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
    // A file the user opened is theirs: removing it from the library only forgets it.
    if (model.origin == ModelOrigin::file) {
        QList<HFModel> models = m_models;
        models.removeIf([&](const HFModel &m) { return m.id == model.id; });
        setModels(models);
        return;
    }
    QFile::remove(path);
    QFile::remove(HFDownloadSession::partPath(path));
    updateVariant(model.id, variant.id, [](ModelVariant &v) {
        v.isDownloaded = false;
        v.downloadProgress = 0.0;
    });
}

void ModelManager::removeFromLibrary(const HFModel &model, const ModelVariant &variant)
{
    if (model.origin != ModelOrigin::hub || m_activeSessions.contains(variant.id))
        return;
    deleteVariant(model, variant);
    QList<HFModel> models = m_models;
    for (HFModel &entry : models)
        if (entry.id == model.id)
            entry.variants.removeIf([&](const ModelVariant &v) { return v.id == variant.id; });
    models.removeIf([&](const HFModel &m) { return m.id == model.id && m.variants.isEmpty(); });
    setModels(models);
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

QString ModelManager::remainingTimeText(const QDateTime &startTime, double progress,
                                       double startProgress)
{
    return DownloadTexts::remainingTimeText(startTime, progress, QDateTime::currentDateTimeUtc(), startProgress);
}
