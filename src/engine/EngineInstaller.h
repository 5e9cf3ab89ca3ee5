#pragma once

#include "engine/EngineEnvironment.h"
#include "engine/EngineRelease.h"
#include "models/HFDownloadSession.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <optional>
#include <qcorotask.h>

class QNetworkAccessManager;

// Fetches llama.cpp's own prebuilt engine into the app's data folder, and accepts an engine
// file the user picked. An install runs: ask the releases API → download (the model download
// type, which checks the published digest as the bytes arrive) → unpack into a folder of its
// own → make `llama-server` executable → prove it starts here with `--version` → point `current`
// at it in one step → remove older releases that no engine runs from. Any failure leaves the
// previous engine as it was, nothing half-written behind, and a message for the user. On the GUI
// thread; the download and the unpacking run on worker threads.
class EngineInstaller : public QObject
{
    Q_OBJECT
    // "idle", "checking", "downloading", "installing" or "failed".
    Q_PROPERTY(QString phase READ phase NOTIFY phaseChanged)
    Q_PROPERTY(QString failureMessage READ failureMessage NOTIFY phaseChanged)
    // What the installing phase is doing now ("Unpacking…").
    Q_PROPERTY(QString stepText READ stepText NOTIFY phaseChanged)
    // The latest release and the build chosen for this computer, once asked for.
    Q_PROPERTY(QString latestTag READ latestTag NOTIFY releaseChanged)
    Q_PROPERTY(QString offerText READ offerText NOTIFY releaseChanged)
    Q_PROPERTY(QString installedTag READ installedTag NOTIFY installedChanged)
    Q_PROPERTY(bool updateAvailable READ updateAvailable NOTIFY releaseChanged)
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(QString progressText READ progressText NOTIFY progressChanged)
    // Whether this app fetches llama.cpp's own builds here (not where Homebrew is the way).
    Q_PROPERTY(bool canDownload READ canDownload CONSTANT)

public:
    // `executableInUse` names the engine executable running now (empty when none): its release
    // is never replaced or removed.
    EngineInstaller(const EngineEnvironment &environment, std::function<QString()> executableInUse,
                    DownloadTiming timing = {}, QObject *parent = nullptr);
    ~EngineInstaller() override;

    bool canDownload() const { return !m_environment.engineDirectory.isEmpty(); }
    QString phase() const { return m_phase; }
    QString failureMessage() const { return m_failureMessage; }
    QString stepText() const { return m_stepText; }
    QString latestTag() const { return m_release ? m_release->tag : QString(); }
    QString offerText() const;
    QString installedTag() const;
    bool updateAvailable() const;
    double progress() const { return m_progress; }
    QString progressText() const;
    // "Estimating…", "42s left": read again on each progress change.
    Q_INVOKABLE QString remainingTimeText() const;
    // The file the user chose as engine, or empty.
    QString chosenFile() const { return m_chosenFile; }

    // Asks for the latest release and the build for this computer.
    QCoro::Task<> checkForUpdates();
    // Installs the latest release (asking for it first when not yet known).
    QCoro::Task<> install();
    // The steps after the download, on an archive already on disk.
    QCoro::Task<> installArchive(QString archivePath, QString tag);
    // Accepts a llama-server the user picked once it has proved that it starts.
    QCoro::Task<> chooseFile(QString path);
    // Removes every downloaded release; the caller has stopped any engine running from one.
    void removeDownloaded();

    // Fire-and-forget forms for the views.
    Q_INVOKABLE void check() { checkForUpdates(); }
    Q_INVOKABLE void start() { install(); }
    Q_INVOKABLE void cancel();
    Q_INVOKABLE void useFile(const QUrl &file) { chooseFile(file.toLocalFile()); }

signals:
    void phaseChanged();
    void releaseChanged();
    void installedChanged();
    void progressChanged();
    // The engine to use may be another one now.
    void engineChanged();
    // The download session has reported its outcome.
    void downloadEnded();

private:
    QCoro::Task<bool> fetchRelease();
    // The download; none when it failed or was cancelled (the phase says which).
    QCoro::Task<std::optional<QString>> download(EngineRelease::Asset asset);
    bool isInUse(const QString &directory) const;
    void removeOlderReleases(const QString &keep);
    void setPhase(const QString &phase, const QString &step = QString());
    void fail(const QString &message);
    void setProgress(double progress, qint64 written, qint64 expected);

    EngineEnvironment m_environment;
    std::function<QString()> m_executableInUse;
    DownloadTiming m_timing;
    QNetworkAccessManager *m_network;
    QString m_phase = QStringLiteral("idle");
    QString m_failureMessage;
    QString m_stepText;
    std::optional<EngineRelease> m_release;
    std::optional<EngineRelease::Asset> m_asset;
    QPointer<HFDownloadSession> m_session;
    bool m_cancelled = false;
    double m_progress = 0;
    qint64 m_downloadedBytes = 0;
    qint64 m_totalBytes = 0;
    QDateTime m_downloadStart;
    QString m_chosenFile;
};
