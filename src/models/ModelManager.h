#pragma once

#include "models/HFDownloadSession.h"
#include "models/HFModel.h"
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
    Q_PROPERTY(ModelListModel *variantList READ variantList CONSTANT)
    Q_PROPERTY(qint64 physicalMemoryGB READ physicalMemoryGB NOTIFY physicalMemoryChanged)

public:
    explicit ModelManager(QObject *parent = nullptr);
    // Tests point downloads at a local hub and shorten the time-outs.
    ModelManager(const QUrl &hubBaseURL, const DownloadTiming &timing, QObject *parent = nullptr);
    ~ModelManager() override;

    const QList<HFModel> &models() const { return m_models; }
    std::optional<QString> lastError() const { return m_lastError; }
    QString lastErrorText() const { return m_lastError.value_or(QString()); }
    Q_INVOKABLE void clearLastError();
    ModelListModel *variantList() const { return m_variantList; }

    ServerManager *serverManager() const;
    void setServerManager(ServerManager *serverManager);
    AgentState *agentState() const;
    void setAgentState(AgentState *agentState);

    Q_INVOKABLE void refreshDownloadStatus();
    void downloadVariant(const HFModel &model, const ModelVariant &variant);
    void cancelDownload(const HFModel &model, const ModelVariant &variant);
    void deleteVariant(const HFModel &model, const ModelVariant &variant);
    // Starts the engine on the variant's file, named "<displayName> <quantization>".
    void loadVariant(const HFModel &model, const ModelVariant &variant);

    // <models>/<repo with "/" as "_">/<filename>
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
    Q_INVOKABLE static QString remainingTimeText(const QDateTime &startTime, double progress);

    bool hasActiveSession(const QUuid &variantId) const { return m_activeSessions.contains(variantId); }

signals:
    void lastErrorChanged();
    void physicalMemoryChanged();
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
    void setLastError(const std::optional<QString> &error);
    void finishDownload(const QUuid &modelId, const QUuid &variantId,
                        const std::optional<QString> &failure);

    QUrl m_hubBaseURL;
    DownloadTiming m_timing;
    QList<HFModel> m_models;
    std::optional<QString> m_lastError;
    QHash<QUuid, QPointer<HFDownloadSession>> m_activeSessions;
    QPointer<ServerManager> m_serverManager;
    QPointer<AgentState> m_agentState;
    qint64 m_physicalMemoryBytes;
    ModelListModel *m_variantList;
};
