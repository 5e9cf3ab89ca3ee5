#pragma once

#include "models/HFDownloadSession.h"
#include "models/HFHubClient.h"
#include "models/HFModel.h"
#include "models/HubBrowser.h"
#include "models/ModelListModel.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QUuid>
#include <optional>

class AgentState;
class ServerManager;

// The model library: the catalogue with the live state of every file (present, downloading,
// absent), downloads, deletion and loading into the engine. One per run, on the GUI thread.
// Which files are present is read from disk, never stored.
class ModelManager : public QObject
{
    Q_OBJECT
    // Empty text = no failure to show.
    Q_PROPERTY(QString lastError READ lastErrorText NOTIFY lastErrorChanged)
    // The failure shown is a download that can be started again.
    Q_PROPERTY(bool canRetryDownload READ canRetryDownload NOTIFY lastErrorChanged)
    Q_PROPERTY(ModelListModel *variantList READ variantList CONSTANT)
    Q_PROPERTY(qint64 physicalMemoryGB READ physicalMemoryGB NOTIFY physicalMemoryChanged)
    // "Download <file> from <owner>/<name>?" while another source for a refused catalogue file
    // waits for the user's answer; empty otherwise.
    Q_PROPERTY(QString sourceOffer READ sourceOffer NOTIFY sourceOfferChanged)
    Q_PROPERTY(HubBrowser *hubBrowser READ hubBrowser CONSTANT)

public:
    explicit ModelManager(QObject *parent = nullptr);
    // Tests point downloads at a local hub, shorten the time-outs and keep tokens apart.
    ModelManager(const QUrl &hubBaseURL, const DownloadTiming &timing, QObject *parent = nullptr,
                 const QString &secretService = QStringLiteral("Morlo AI"));
    ~ModelManager() override;

    const QList<HFModel> &models() const { return m_models; }
    std::optional<QString> lastError() const { return m_lastError; }
    QString lastErrorText() const { return m_lastError.value_or(QString()); }
    Q_INVOKABLE void clearLastError();
    bool canRetryDownload() const { return m_failedDownload.has_value(); }
    // Clears the failure and downloads the same file again (it resumes from what was kept).
    Q_INVOKABLE void retryDownload();
    ModelListModel *variantList() const { return m_variantList; }

    ServerManager *serverManager() const;
    void setServerManager(ServerManager *serverManager);
    AgentState *agentState() const;
    void setAgentState(AgentState *agentState);

    Q_INVOKABLE void refreshDownloadStatus();
    void downloadVariant(const HFModel &model, const ModelVariant &variant);
    void cancelDownload(const HFModel &model, const ModelVariant &variant);
    void deleteVariant(const HFModel &model, const ModelVariant &variant);
    // Forgets a file added from the hub, with what it left on disk (the file, a kept part); its
    // repository's entry goes with its last file. Not while it downloads.
    void removeFromLibrary(const HFModel &model, const ModelVariant &variant);
    // Starts the engine on the variant's file, named "<displayName> <quantization>".
    void loadVariant(const HFModel &model, const ModelVariant &variant);

    // Adds a GGUF file on disk to "My models" by reference. Empty text when it was added (or
    // already was); otherwise why it cannot be used.
    Q_INVOKABLE QString openModelFile(const QUrl &file);
    // Adds the hub file to "My models" (once) and downloads it into the models folder.
    void addHubFile(const QString &repo, const HFHubFile &file);
    HFHubClient *hubClient() const { return m_hub; }
    HubBrowser *hubBrowser() const { return m_hubBrowser; }

    QString sourceOffer() const { return m_sourceOffer ? m_sourceOffer->text : QString(); }
    // Remembers the offered repository for the catalogue file and downloads it from there.
    Q_INVOKABLE void acceptSourceOffer();
    Q_INVOKABLE void declineSourceOffer();

    // <models>/<repo with "/" as "_">/<filename>, or where the user's own file lies.
    static QUrl localFileURL(const HFModel &model, const ModelVariant &variant);

    bool exceedsAvailableRAM(const ModelVariant &variant) const;
    static bool exceedsMemory(const ModelVariant &variant, qint64 physicalMemoryBytes);
    qint64 physicalMemoryBytes() const { return m_physicalMemoryBytes; }
    // Whole gigabytes, as the memory warning states them.
    qint64 physicalMemoryGB() const;
    // The tooltip of the warning shown beside a file that may not fit in memory.
    Q_INVOKABLE QString memoryWarningText() const;
    void setPhysicalMemoryBytes(qint64 bytes);

    // The download texts, for the views.
    Q_INVOKABLE static QString progressText(double progress, qint64 downloadedBytes,
                                            qint64 totalBytes);
    Q_INVOKABLE static QString remainingTimeText(const QDateTime &startTime, double progress,
                                                 double startProgress = 0.0);

    bool hasActiveSession(const QUuid &variantId) const { return m_activeSessions.contains(variantId); }

signals:
    void lastErrorChanged();
    void physicalMemoryChanged();
    void sourceOfferChanged();
    // Rows were added to or removed from the library.
    void modelsReset();
    // One variant's state changed; views redraw that row only.
    void variantChanged(int modelIndex, int variantIndex);

private:
    struct Location
    {
        int model;
        int variant;
    };
    std::optional<Location> locate(const QUuid &modelId, const QUuid &variantId) const;
    // Replaces the located variant with an edited copy and publishes the change.
    template<typename Edit>
    void updateVariant(const QUuid &modelId, const QUuid &variantId, Edit edit);
    // A failed download names its file (model id, variant id), so that Retry can start it again.
    void setLastError(const std::optional<QString> &error,
                      std::optional<std::pair<QUuid, QUuid>> failedDownload = std::nullopt);
    void finishDownload(const QUuid &modelId, const QUuid &variantId,
                        const std::optional<QString> &failure, int status);
    QCoro::Task<> offerOtherSource(QUuid modelId, QUuid variantId);
    void setModels(QList<HFModel> models);

    struct SourceOffer
    {
        QUuid modelId;
        QUuid variantId;
        QString repo;
        QString text;
    };

    QUrl m_hubBaseURL;
    HFHubClient *m_hub;
    HubBrowser *m_hubBrowser;
    std::optional<SourceOffer> m_sourceOffer;
    DownloadTiming m_timing;
    QList<HFModel> m_models;
    std::optional<QString> m_lastError;
    // The file of the failed download shown in m_lastError, if that is what it tells.
    std::optional<std::pair<QUuid, QUuid>> m_failedDownload;
    QHash<QUuid, QPointer<HFDownloadSession>> m_activeSessions;
    QPointer<ServerManager> m_serverManager;
    QPointer<AgentState> m_agentState;
    qint64 m_physicalMemoryBytes;
    ModelListModel *m_variantList;
};
