#include "engine/ServerManager.h"

#include "engine/ChildLifetime.h"
#include "engine/EngineKey.h"
#include "engine/EnginePort.h"
#include "engine/Utf8Text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QProcess>
#include <QSaveFile>
#include <qcoronetworkreply.h>
#include <qcorosignal.h>
#include <qcorotimer.h>

#include <chrono>

using namespace std::chrono_literals;
using RecoveryLadder::Attempt;
using RecoveryLadder::Rule;

namespace {

constexpr int defaultContextSize = 8192;
const QString engineHost = QStringLiteral("127.0.0.1");
const QString noModelLoaded = QStringLiteral("No model loaded");
const QString metalStubSourceName = QStringLiteral("metal_stub.c");
const QString metalStubLibraryName = QStringLiteral("libggml-metal.0.dylib");
// The engine's GPU backend registers itself through this one function; the stub does nothing.
const QByteArray metalStubSource = QByteArrayLiteral("void ggml_backend_metal_reg(void) {}");

// True once the process runs, false when it could not be started.
QCoro::Task<bool> launched(QProcess *process)
{
    if (process->state() == QProcess::Starting)
        co_await qCoro(process, &QProcess::stateChanged);
    co_return process->state() == QProcess::Running;
}

// True once the process has exited; false when `timeout` passed first (-1 waits for ever).
QCoro::Task<bool> exited(QProcess *process, std::chrono::milliseconds timeout)
{
    if (process->state() == QProcess::NotRunning)
        co_return true;
    const auto finished = co_await qCoro(process, &QProcess::finished, timeout);
    co_return finished.has_value();
}

} // namespace

ServerManager::ServerManager(QObject *parent)
    : ServerManager(EngineEnvironment::standard(), parent)
{
}

ServerManager::ServerManager(const EngineEnvironment &environment, QObject *parent)
    : QObject(parent)
    , m_environment(environment)
    , m_engineRecord(environment.enginePidFile)
    , m_network(new QNetworkAccessManager(this))
    , m_installer(new EngineInstaller(
          environment, [this] { return m_serverProcess ? m_serverProcess->program() : QString(); }, {}, this))
    , m_statusMessage(noModelLoaded)
    , m_port(environment.port)
{
    connect(&m_watch, &EngineWatch::stoppedUnexpectedly, this, &ServerManager::engineStopped);
    connect(m_installer, &EngineInstaller::engineChanged, this, &ServerManager::engineChanged);
}

ServerManager::~ServerManager()
{
    // An engine left behind would keep answering on the port for the next run.
    if (m_serverProcess) {
        m_serverProcess->terminate();
        if (!m_serverProcess->waitForFinished(m_environment.stopGraceMs)) {
            m_serverProcess->kill();
            m_serverProcess->waitForFinished(m_environment.stopGraceMs);
        }
    }
}

bool ServerManager::isRunning() const { return m_isRunning; }
bool ServerManager::isStarting() const { return m_isStarting; }
QString ServerManager::statusMessage() const { return m_statusMessage; }
std::optional<QString> ServerManager::activeModelPath() const { return m_activeModelPath; }
std::optional<QString> ServerManager::activeModelName() const { return m_activeModelName; }
std::optional<QString> ServerManager::lastLaunchError() const { return m_lastLaunchError; }
BrewInstallState ServerManager::brewInstallState() const { return m_brewInstallState; }
QString ServerManager::brewOutput() const { return m_brewOutput; }
bool ServerManager::isUninstalling() const { return m_isUninstalling; }
int ServerManager::port() const { return m_port; }

std::optional<EngineChoice> ServerManager::engineChoice() const
{
    return EngineLocator::locate(m_environment, m_installer->chosenFile());
}

std::optional<QString> ServerManager::engineExecutablePath() const
{
    const std::optional<EngineChoice> choice = engineChoice();
    return choice ? std::optional(choice->path) : std::nullopt;
}

QString ServerManager::engineSource() const
{
    const std::optional<EngineChoice> choice = engineChoice();
    return choice ? choice->sourceLabel() : QString();
}

QString ServerManager::engineSourceKey() const
{
    const std::optional<EngineChoice> choice = engineChoice();
    return choice ? choice->sourceKey() : QString();
}

bool ServerManager::canUninstallEngine() const
{
    const std::optional<EngineChoice> choice = engineChoice();
    return choice
        && (choice->source == EngineSource::downloaded
            || (choice->source == EngineSource::homebrew && homebrewPath()));
}

std::optional<QString> ServerManager::homebrewPath() const
{
    for (const QString &location : m_environment.homebrewLocations) {
        if (QFileInfo::exists(location))
            return location;
    }
    return std::nullopt;
}

QCoro::Task<> ServerManager::startServer(QString modelPath, QString modelName,
                                         std::optional<int> gpuLayers,
                                         std::optional<QString> executablePath, bool noMmap,
                                         std::optional<int> contextSize)
{
    if (m_isStarting)
        co_return;
    QPointer<ServerManager> self(this);
    if (m_isRunning || m_serverProcess) {
        co_await stopServer();
        // Another start may have begun while this one waited for the old engine to end.
        if (!self || m_isStarting)
            co_return;
    }

    const std::optional<QString> executable = executablePath ? executablePath : engineExecutablePath();
    if (!executable) {
        setStatusMessage(QStringLiteral("AI engine not found — install llama.cpp via Homebrew in Settings"));
        co_return;
    }

    const Attempt attempt{gpuLayers, noMmap, contextSize};
    const bool cpuOnly = gpuLayers == 0;
    QString suffix;
    if (cpuOnly)
        suffix += QStringLiteral(" (CPU only)");
    if (noMmap)
        suffix += QStringLiteral(" (no-mmap)");
    if (contextSize)
        suffix += QStringLiteral(" (ctx %1)").arg(*contextSize);

    setIsStarting(true);
    setLastLaunchError(std::nullopt);
    setStoppedUnexpectedly(false);
    setFailureNotice(QString());
    // The model of an engine that stopped is named until another start begins.
    setActiveModel(std::nullopt, std::nullopt);
    setStatusMessage(QStringLiteral("Starting ") + modelName + suffix + QStringLiteral("…"));

    const quint64 generation = ++m_generation;
    const auto replaced = [&] { return !self || generation != m_generation; };

    co_await m_engineRecord.endLeftover(m_environment.stopGraceMs);
    if (replaced())
        co_return;

    // Only then is a port still held someone else's.
    const EnginePort::Choice port = EnginePort::choose(m_environment.port, m_environment.portCount);
    if (!port.port) {
        setLastLaunchError(port.note);
        failStart(modelName, QStringLiteral("Failed to start — see error below"));
        co_return;
    }
    setPort(*port.port);
    m_apiKey = EngineKey::generate();

    QStringList arguments{
        QStringLiteral("--model"), modelPath,
        QStringLiteral("--ctx-size"), QString::number(contextSize.value_or(defaultContextSize)),
        QStringLiteral("--port"), QString::number(m_port),
        QStringLiteral("--host"), engineHost,
        // Each request's max_tokens bounds the reply; the engine sets no limit of its own.
        QStringLiteral("--n-predict"), QStringLiteral("-1"),
    };
    if (gpuLayers)
        arguments << QStringLiteral("--n-gpu-layers") << QString::number(*gpuLayers);
    if (noMmap)
        arguments << QStringLiteral("--no-mmap");

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (const auto choice = engineChoice(); choice && choice->path == *executable && choice->bringsOwnLibraries())
        environment = EngineLocator::withOwnLibraries(*executable, environment);
    const QString stubDirectory = m_environment.metalStubDirectory;
    if (cpuOnly && !stubDirectory.isEmpty()
        && QFileInfo::exists(QDir(stubDirectory).filePath(metalStubLibraryName)))
        environment.insert(QStringLiteral("DYLD_LIBRARY_PATH"), stubDirectory);
    environment.insert(QString::fromLatin1(EngineKey::environmentVariable), m_apiKey);

    auto *process = new QProcess(this);
    process->setProgram(*executable);
    process->setArguments(arguments);
    process->setProcessEnvironment(environment);
    // Both pipes are read as the engine writes, or it stalls on a full pipe while loading.
    // Standard output is of no use; the tail of standard error explains a failure.
    connect(process, &QProcess::readyReadStandardOutput, this,
            [process] { process->readAllStandardOutput(); });
    connect(process, &QProcess::readyReadStandardError, this, [this, process] {
        const QByteArray bytes = process->readAllStandardError();
        if (process == m_serverProcess)
            m_stderrLog.append(bytes);
    });
    m_stderrLog.clear();
    m_stderrLog.append(port.note.toUtf8());
    ChildLifetime::endWithParent(process);
    // Held from the launch on, so its first lines are kept and a stop during the launch ends it.
    m_serverProcess = process;
    process->start();
    const bool started = co_await launched(process);
    // A stop meanwhile took the process over and ends it.
    if (replaced())
        co_return;
    if (!started) {
        m_serverProcess = nullptr;
        setIsStarting(false);
        failStart(modelName, QStringLiteral("Launch error: ") + process->errorString());
        process->deleteLater();
        co_return;
    }
    // The record goes when this engine ends, however it ends: once it has exited, the process
    // no longer knows its pid, and a stale record could one day name an unrelated program.
    const qint64 pid = process->processId();
    m_engineRecord.remember(pid, *executable);
    connect(process, &QProcess::finished, this, [this, pid] { m_engineRecord.forget(pid); });

    const std::chrono::milliseconds pollInterval(m_environment.pollIntervalMs);
    int poll = 1;
    co_await QCoro::sleepFor(pollInterval);
    for (;;) {
        if (replaced())
            co_return;
        if (process->state() == QProcess::NotRunning) {
            co_await handleEarlyExit(modelPath, modelName, *executable, attempt);
            co_return;
        }
        const bool healthy = co_await checkHealth();
        if (replaced())
            co_return;
        if (healthy) {
            setIsRunning(true);
            setIsStarting(false);
            setActiveModel(modelPath, modelName);
            setStatusMessage(QStringLiteral("Ready — ") + modelName
                             + (cpuOnly ? QStringLiteral(" (CPU only)") : QString()));
            m_watch.watch(process);
            co_return;
        }
        if (poll % 10 == 0)
            setStatusMessage(QStringLiteral("Loading… %1s (large models take up to 60s)").arg(poll / 2));
        if (poll >= m_environment.lastPoll) {
            const QString errorText = decodeUtf8Strictly(m_stderrLog.bytes()).value_or(QString()).trimmed();
            releaseServerProcess();
            setIsStarting(false);
            setLastLaunchError(errorText.isEmpty() ? std::nullopt : std::optional(errorText));
            failStart(modelName, QStringLiteral("Timed out — try a smaller model or quantization (Q4_K_M)"));
            co_return;
        }
        ++poll;
        co_await QCoro::sleepFor(pollInterval);
    }
}

QCoro::Task<> ServerManager::handleEarlyExit(QString modelPath, QString modelName,
                                             QString executable, Attempt failed)
{
    const RecoveryLadder::Termination termination{
        m_serverProcess->exitStatus() == QProcess::CrashExit, m_serverProcess->exitCode()};
    const QString report = RecoveryLadder::earlyExitReport(m_stderrLog.bytes(), termination);
    setIsStarting(false);
    releaseServerProcess();

    const Rule rule = RecoveryLadder::chooseRule(report, termination, failed);
    switch (rule) {
    case Rule::gpuBackendFailure: {
        setStatusMessage(QStringLiteral("GPU incompatible — building CPU-only workaround…"));
        QPointer<ServerManager> self(this);
        const quint64 generation = m_generation;
        // Without the library the CPU-only start still runs, only without the substitute.
        co_await buildMetalStubInBackground();
        if (!self || generation != m_generation || m_isStarting)
            co_return;
        setStatusMessage(QStringLiteral("Retrying without Metal GPU…"));
        break;
    }
    case Rule::mappedMemoryFault:
        setStatusMessage(QStringLiteral("Memory error — retrying with direct file read…"));
        break;
    case Rule::memoryPressure:
        setStatusMessage(QStringLiteral("Memory pressure — retrying with reduced context (2048)…"));
        break;
    case Rule::repeatedMemoryFault:
        setLastLaunchError(RecoveryLadder::repeatedMemoryFaultText());
        failStart(modelName, QStringLiteral("Failed — model incompatible or too large"));
        co_return;
    case Rule::failure:
        setLastLaunchError(report);
        failStart(modelName, QStringLiteral("Failed to start — see error below"));
        co_return;
    }
    const Attempt next = RecoveryLadder::nextAttempt(rule, failed);
    co_await startServer(modelPath, modelName, next.gpuLayers, executable, next.noMmap, next.contextSize);
}

void ServerManager::failStart(const QString &modelName, const QString &status)
{
    setStatusMessage(status);
    setFailureNotice(QStringLiteral("Loading ") + modelName + QStringLiteral(" failed — see Models"));
}

void ServerManager::engineStopped(RecoveryLadder::Termination termination)
{
    // No restart of our own: an engine that dies once it is up would likely die again, and
    // the user decides whether to load the model once more.
    const QString report = EngineWatch::stopReport(m_stderrLog.bytes(), termination);
    ++m_generation;
    releaseServerProcess();
    setIsRunning(false);
    setLastLaunchError(report);
    setStatusMessage(QStringLiteral("Engine stopped unexpectedly — see error below"));
    setFailureNotice(QStringLiteral("Engine stopped unexpectedly — see Models"));
    setStoppedUnexpectedly(true);
}

QCoro::Task<> ServerManager::stopServer()
{
    ++m_generation;
    m_watch.release();
    if (QProcess *process = std::exchange(m_serverProcess, nullptr)) {
        QPointer<ServerManager> self(this);
        co_await endProcess(process);
        if (!self)
            co_return;
    }
    m_stderrLog.clear();
    setIsRunning(false);
    setIsStarting(false);
    setActiveModel(std::nullopt, std::nullopt);
    setStoppedUnexpectedly(false);
    setFailureNotice(QString());
    setStatusMessage(noModelLoaded);
}

void ServerManager::releaseServerProcess()
{
    if (QProcess *process = std::exchange(m_serverProcess, nullptr))
        endProcess(process);
}

QCoro::Task<> ServerManager::endProcess(QProcess *process)
{
    // Whatever way it ends now, it ends because we asked: its exit status is of no interest.
    const std::chrono::milliseconds grace(m_environment.stopGraceMs);
    if (process->state() != QProcess::NotRunning) {
        process->terminate();
        if (!co_await exited(process, grace)) {
            process->kill();
            co_await exited(process, grace);
        }
    }
    process->deleteLater();
}

QCoro::Task<bool> ServerManager::checkHealth()
{
    QNetworkRequest request(QUrl(QStringLiteral("http://%1:%2/health").arg(engineHost).arg(m_port)));
    request.setTransferTimeout(m_environment.healthTimeoutMs);
    QPointer<QNetworkReply> reply = m_network->get(request);
    co_await reply.get();
    if (!reply)
        co_return false;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    reply->deleteLater();
    co_return status == 200;
}

std::optional<QString> ServerManager::prepareMetalStub(bool *alreadyBuilt) const
{
    *alreadyBuilt = false;
    const QString directory = m_environment.metalStubDirectory;
    if (directory.isEmpty())
        return std::nullopt;
    const QString library = QDir(directory).filePath(metalStubLibraryName);
    // Built once per machine and kept across runs.
    if (QFileInfo::exists(library)) {
        *alreadyBuilt = true;
        return library;
    }
    if (!QDir().mkpath(directory))
        return std::nullopt;
    QSaveFile source(QDir(directory).filePath(metalStubSourceName));
    if (!source.open(QIODevice::WriteOnly) || source.write(metalStubSource) != metalStubSource.size()
        || !source.flush() || !source.commit())
        return std::nullopt;
    return library;
}

QStringList ServerManager::metalStubCompilerArguments(const QString &library) const
{
    return {QStringLiteral("-shared"), QStringLiteral("-o"), library,
            QDir(m_environment.metalStubDirectory).filePath(metalStubSourceName)};
}

QCoro::Task<std::optional<QString>> ServerManager::buildMetalStubInBackground()
{
    bool alreadyBuilt = false;
    const std::optional<QString> library = prepareMetalStub(&alreadyBuilt);
    if (!library || alreadyBuilt)
        co_return library ? std::optional(m_environment.metalStubDirectory) : std::nullopt;
    QPointer<ServerManager> self(this);
    auto *compiler = new QProcess(this);
    compiler->setStandardOutputFile(QProcess::nullDevice());
    compiler->setStandardErrorFile(QProcess::nullDevice());
    compiler->start(m_environment.compilerPath, metalStubCompilerArguments(*library));
    bool compiled = co_await launched(compiler);
    if (compiled)
        compiled = co_await exited(compiler, -1ms);
    if (!self)
        co_return std::nullopt;
    compiled = compiled && compiler->exitStatus() == QProcess::NormalExit && compiler->exitCode() == 0;
    compiler->deleteLater();
    co_return compiled ? std::optional(m_environment.metalStubDirectory) : std::nullopt;
}

QProcess *ServerManager::createBrewProcess(const QStringList &arguments)
{
    auto *process = new QProcess(this);
    process->setProgram(homebrewPath().value_or(QString()));
    process->setArguments(arguments);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), m_environment.brewPath);
    process->setProcessEnvironment(environment);
    return process;
}

void ServerManager::appendBrewOutput(const QByteArray &piece)
{
    // Each piece stands alone: one that cuts a character in two cannot be decoded and is
    // dropped rather than shown as garbage.
    if (piece.isEmpty())
        return;
    const std::optional<QString> text = decodeUtf8Strictly(piece);
    if (!text || text->isEmpty())
        return;
    m_brewOutput += *text;
    emit brewOutputChanged();
}

QCoro::Task<> ServerManager::installViaHomebrew()
{
    if (!homebrewPath()) {
        setBrewInstallState(BrewInstallState::failed(
            QStringLiteral("Homebrew not found — visit brew.sh to install it first.")));
        co_return;
    }
    setBrewInstallState(BrewInstallState::installing());
    setBrewOutput(QString());

    QProcess *process = createBrewProcess({QStringLiteral("install"), QStringLiteral("llama.cpp")});
    connect(process, &QProcess::readyReadStandardOutput, this,
            [this, process] { appendBrewOutput(process->readAllStandardOutput()); });
    connect(process, &QProcess::readyReadStandardError, this,
            [this, process] { appendBrewOutput(process->readAllStandardError()); });
    QPointer<ServerManager> self(this);
    process->start();
    if (!co_await launched(process)) {
        if (self)
            setBrewInstallState(BrewInstallState::failed(process->errorString()));
        process->deleteLater();
        co_return;
    }
    co_await exited(process, -1ms);
    if (!self)
        co_return;
    process->disconnect(this);
    process->deleteLater();
    const int status = process->exitCode();
    if (process->exitStatus() != QProcess::NormalExit || status != 0) {
        setBrewInstallState(BrewInstallState::failed(QStringLiteral("brew install failed (exit %1)").arg(status)));
        co_return;
    }
    setBrewInstallState(BrewInstallState::succeeded());
    // The engine executable appeared without any field changing: views re-read it.
    emit engineChanged();
}

QCoro::Task<> ServerManager::uninstallViaHomebrew()
{
    if (!homebrewPath())
        co_return;
    QPointer<ServerManager> self(this);
    if (m_isRunning || m_isStarting) {
        co_await stopServer();
        if (!self)
            co_return;
    }
    setIsUninstalling(true);
    QProcess *process = createBrewProcess({QStringLiteral("uninstall"), QStringLiteral("llama.cpp")});
    // Nobody reads what the uninstall prints; it must not stall on a full pipe either.
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->start();
    if (co_await launched(process))
        co_await exited(process, -1ms);
    if (!self)
        co_return;
    process->deleteLater();
    setIsUninstalling(false);
    setBrewInstallState(BrewInstallState::idle());
    setBrewOutput(QString());
    emit engineChanged();
}

QCoro::Task<> ServerManager::uninstallEngine()
{
    const std::optional<EngineChoice> choice = engineChoice();
    if (!choice || choice->source != EngineSource::downloaded) {
        if (choice && choice->source == EngineSource::homebrew)
            co_await uninstallViaHomebrew();
        co_return;
    }
    QPointer<ServerManager> self(this);
    if (m_isRunning || m_isStarting) {
        co_await stopServer();
        if (!self)
            co_return;
    }
    setIsUninstalling(true);
    m_installer->removeDownloaded();
    setIsUninstalling(false);
}

void ServerManager::start(const QString &modelPath, const QString &modelName)
{
    startServer(modelPath, modelName);
}

void ServerManager::reload()
{
    if (m_stoppedUnexpectedly && m_activeModelPath && m_activeModelName)
        startServer(*m_activeModelPath, *m_activeModelName);
}

void ServerManager::stop()
{
    stopServer();
}

void ServerManager::install()
{
    installViaHomebrew();
}

void ServerManager::uninstall()
{
    uninstallViaHomebrew();
}

void ServerManager::setIsRunning(bool value)
{
    if (m_isRunning == value)
        return;
    m_isRunning = value;
    emit isRunningChanged();
}

void ServerManager::setIsStarting(bool value)
{
    if (m_isStarting == value)
        return;
    m_isStarting = value;
    emit isStartingChanged();
}

void ServerManager::setStatusMessage(const QString &value)
{
    if (m_statusMessage == value)
        return;
    m_statusMessage = value;
    emit statusMessageChanged();
}

void ServerManager::setActiveModel(std::optional<QString> path, std::optional<QString> name)
{
    if (m_activeModelPath == path && m_activeModelName == name)
        return;
    m_activeModelPath = std::move(path);
    m_activeModelName = std::move(name);
    emit activeModelChanged();
}

void ServerManager::setLastLaunchError(std::optional<QString> value)
{
    if (m_lastLaunchError == value)
        return;
    m_lastLaunchError = std::move(value);
    emit lastLaunchErrorChanged();
}

void ServerManager::setBrewInstallState(const BrewInstallState &value)
{
    if (m_brewInstallState == value)
        return;
    m_brewInstallState = value;
    emit brewInstallStateChanged();
}

void ServerManager::setBrewOutput(const QString &value)
{
    if (m_brewOutput == value)
        return;
    m_brewOutput = value;
    emit brewOutputChanged();
}

void ServerManager::setIsUninstalling(bool value)
{
    if (m_isUninstalling == value)
        return;
    m_isUninstalling = value;
    emit isUninstallingChanged();
}

void ServerManager::setPort(int value)
{
    if (m_port == value)
        return;
    m_port = value;
    emit portChanged();
}

void ServerManager::setStoppedUnexpectedly(bool value)
{
    if (m_stoppedUnexpectedly == value)
        return;
    m_stoppedUnexpectedly = value;
    emit stoppedUnexpectedlyChanged();
}

void ServerManager::setFailureNotice(const QString &value)
{
    if (m_failureNotice == value)
        return;
    m_failureNotice = value;
    emit failureNoticeChanged();
}
