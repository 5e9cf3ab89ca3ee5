#pragma once

#include "engine/BrewInstallState.h"
#include "engine/EngineEnvironment.h"
#include "engine/EngineInstaller.h"
#include "engine/EngineLocator.h"
#include "engine/EngineLogBuffer.h"
#include "engine/EngineRecord.h"
#include "engine/EngineWatch.h"
#include "engine/RecoveryLadder.h"

#include <QObject>
#include <QString>
#include <qcorotask.h>
#include <optional>

class QNetworkAccessManager;
class QProcess;

// Owns the local inference engine: finds llama-server, starts it on one model file, waits until
// it answers /health, stops it, retries with safer settings when it dies while loading, and
// installs or removes it through Homebrew. All on the GUI thread.
class ServerManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
    Q_PROPERTY(bool isStarting READ isStarting NOTIFY isStartingChanged)
    Q_PROPERTY(QString statusMessage READ statusMessage NOTIFY statusMessageChanged)
    // Empty text = none.
    Q_PROPERTY(QString activeModelPath READ activeModelPathText NOTIFY activeModelChanged)
    Q_PROPERTY(QString activeModelName READ activeModelNameText NOTIFY activeModelChanged)
    Q_PROPERTY(QString lastLaunchError READ lastLaunchErrorText NOTIFY lastLaunchErrorChanged)
    Q_PROPERTY(QString brewInstallState READ brewInstallStateName NOTIFY brewInstallStateChanged)
    Q_PROPERTY(QString brewInstallMessage READ brewInstallMessage NOTIFY brewInstallStateChanged)
    Q_PROPERTY(QString brewOutput READ brewOutput NOTIFY brewOutputChanged)
    Q_PROPERTY(bool isUninstalling READ isUninstalling NOTIFY isUninstallingChanged)
    // The port of the engine started last: the first free one of the range.
    Q_PROPERTY(int port READ port NOTIFY portChanged)
    // True after the engine died on its own once it was ready; the model's name and path stay
    // so that it can be loaded again.
    Q_PROPERTY(bool stoppedUnexpectedly READ stoppedUnexpectedly NOTIFY stoppedUnexpectedlyChanged)
    // One line for the chat view after a start failed or the engine stopped; empty otherwise.
    Q_PROPERTY(QString failureNotice READ failureNotice NOTIFY failureNoticeChanged)
    // Re-read after an install: engineChanged is the "everything may have changed" signal.
    Q_PROPERTY(QString engineExecutablePath READ engineExecutablePathText NOTIFY engineChanged)
    Q_PROPERTY(bool isEngineInstalled READ isEngineInstalled NOTIFY engineChanged)
    Q_PROPERTY(bool isHomebrewInstalled READ isHomebrewInstalled NOTIFY engineChanged)
    // Where the engine in use came from: "downloaded b4748", "Homebrew", "system", "chosen file".
    Q_PROPERTY(QString engineSource READ engineSource NOTIFY engineChanged)
    // The same as "downloaded", "homebrew", "system" or "chosenFile"; empty when none.
    Q_PROPERTY(QString engineSourceKey READ engineSourceKey NOTIFY engineChanged)
    // Only an engine the app downloaded or Homebrew installed can be removed by the app.
    Q_PROPERTY(bool canUninstallEngine READ canUninstallEngine NOTIFY engineChanged)
    Q_PROPERTY(EngineInstaller *engineInstaller READ engineInstaller CONSTANT)

public:
    explicit ServerManager(QObject *parent = nullptr);
    ServerManager(const EngineEnvironment &environment, QObject *parent);
    ~ServerManager() override;

    bool isRunning() const;
    bool isStarting() const;
    QString statusMessage() const;
    std::optional<QString> activeModelPath() const;
    std::optional<QString> activeModelName() const;
    std::optional<QString> lastLaunchError() const;
    QString activeModelPathText() const { return activeModelPath().value_or(QString()); }
    QString activeModelNameText() const { return activeModelName().value_or(QString()); }
    QString lastLaunchErrorText() const { return lastLaunchError().value_or(QString()); }
    BrewInstallState brewInstallState() const;
    QString brewInstallStateName() const { return brewInstallState().kindName(); }
    QString brewInstallMessage() const { return brewInstallState().message; }
    QString brewOutput() const;
    bool isUninstalling() const;
    int port() const;
    // The key the running engine requires as a bearer token; changes with every launch.
    QString apiKey() const { return m_apiKey; }
    bool stoppedUnexpectedly() const { return m_stoppedUnexpectedly; }
    QString failureNotice() const { return m_failureNotice; }

    std::optional<QString> engineExecutablePath() const;
    QString engineExecutablePathText() const { return engineExecutablePath().value_or(QString()); }
    bool isEngineInstalled() const { return engineExecutablePath().has_value(); }
    std::optional<QString> homebrewPath() const;
    bool isHomebrewInstalled() const { return homebrewPath().has_value(); }
    std::optional<EngineChoice> engineChoice() const;
    QString engineSource() const;
    QString engineSourceKey() const;
    bool canUninstallEngine() const;
    EngineInstaller *engineInstaller() const { return m_installer; }

    // Starts the engine on one model file; the outcome is reported only through the properties.
    QCoro::Task<> startServer(QString modelPath, QString modelName,
                              std::optional<int> gpuLayers = std::nullopt,
                              std::optional<QString> executablePath = std::nullopt,
                              bool noMmap = false,
                              std::optional<int> contextSize = std::nullopt);
    QCoro::Task<> stopServer();
    QCoro::Task<bool> checkHealth();
    QCoro::Task<> installViaHomebrew();
    QCoro::Task<> uninstallViaHomebrew();

    // Fire-and-forget forms for the views.
    Q_INVOKABLE void start(const QString &modelPath, const QString &modelName);
    // Loads the model of an engine that stopped unexpectedly once more.
    Q_INVOKABLE void reload();
    Q_INVOKABLE void stop();
    Q_INVOKABLE void install();
    Q_INVOKABLE void uninstall();
    // Removes the engine in use the way it came: the downloaded release, or through Homebrew.
    QCoro::Task<> uninstallEngine();
    Q_INVOKABLE void removeEngine() { uninstallEngine(); }
    // Looks at every engine source again (after the user installed one by other means).
    Q_INVOKABLE void recheckEngine() { emit engineChanged(); }

signals:
    void isRunningChanged();
    void isStartingChanged();
    void statusMessageChanged();
    void activeModelChanged();
    void lastLaunchErrorChanged();
    void brewInstallStateChanged();
    void brewOutputChanged();
    void isUninstallingChanged();
    void engineChanged();
    void portChanged();
    void stoppedUnexpectedlyChanged();
    void failureNoticeChanged();

private:
    QCoro::Task<> handleEarlyExit(QString modelPath, QString modelName, QString executable,
                                  RecoveryLadder::Attempt failed);
    // The substitute GPU library, compiled without holding up the GUI thread.
    QCoro::Task<std::optional<QString>> buildMetalStubInBackground();
    // Writes the stub source; the library path to build, or none when it cannot be built.
    std::optional<QString> prepareMetalStub(bool *alreadyBuilt) const;
    QStringList metalStubCompilerArguments(const QString &library) const;

    // Asks the engine to end, forces it after the grace time, then releases it.
    QCoro::Task<> endProcess(QProcess *process);
    void releaseServerProcess();
    void engineStopped(RecoveryLadder::Termination termination);
    // Ends a start that did not bring the engine up: the status, and the notice naming the model.
    void failStart(const QString &modelName, const QString &status);
    QProcess *createBrewProcess(const QStringList &arguments);
    void appendBrewOutput(const QByteArray &piece);

    void setIsRunning(bool value);
    void setIsStarting(bool value);
    void setStatusMessage(const QString &value);
    void setActiveModel(std::optional<QString> path, std::optional<QString> name);
    void setLastLaunchError(std::optional<QString> value);
    void setBrewInstallState(const BrewInstallState &value);
    void setBrewOutput(const QString &value);
    void setIsUninstalling(bool value);
    void setPort(int value);
    void setStoppedUnexpectedly(bool value);
    void setFailureNotice(const QString &value);

    EngineEnvironment m_environment;
    EngineRecord m_engineRecord;
    QNetworkAccessManager *m_network;
    EngineInstaller *m_installer;

    bool m_isRunning = false;
    bool m_isStarting = false;
    QString m_statusMessage;
    std::optional<QString> m_activeModelPath;
    std::optional<QString> m_activeModelName;
    std::optional<QString> m_lastLaunchError;
    BrewInstallState m_brewInstallState;
    QString m_brewOutput;
    bool m_isUninstalling = false;
    int m_port;
    QString m_apiKey;
    bool m_stoppedUnexpectedly = false;
    QString m_failureNotice;

    QProcess *m_serverProcess = nullptr;
    // Everything the engine wrote on standard error, read as it arrives.
    EngineLogBuffer m_stderrLog;
    EngineWatch m_watch;
    // Changes on every launch and every stop, so a start that was waiting learns that it has
    // been replaced.
    quint64 m_generation = 0;
};
