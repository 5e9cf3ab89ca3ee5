#include "engine/EngineInstaller.h"

#include "conversation/DefaultsStore.h"
#include "engine/ArchiveUnpacker.h"
#include "engine/EngineLocator.h"
#include "engine/EngineProbe.h"
#include "engine/ReleasesClient.h"
#include "models/DownloadTexts.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrentRun>
#include <qcorofuture.h>
#include <qcorosignal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// The file the user picked as engine, kept across runs.
const QString chosenEngineKey = QStringLiteral("chosenEnginePath");
constexpr int releasesTimeoutMs = 30'000;

// The tag becomes a folder name: anything but a plain name is refused.
bool isPlainName(const QString &tag)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]*$"));
    return plain.match(tag).hasMatch();
}

struct Unpacked
{
    std::optional<QString> failure;
    QString server;  // the unpacked llama-server
};

// Unpacks and finds `llama-server` wherever the archive keeps it (releases have used
// "build/bin/" and a folder named after the release), then makes it executable.
Unpacked unpackEngine(const QString &archive, const QString &directory)
{
    Unpacked result;
    result.failure = ArchiveUnpacker::unpack(archive, directory);
    if (result.failure)
        return result;
    QDirIterator files(directory, {QStringLiteral("llama-server")}, QDir::Files, QDirIterator::Subdirectories);
    if (!files.hasNext()) {
        result.failure = QStringLiteral("The engine archive holds no llama-server.");
        return result;
    }
    result.server = files.next();
    QFile server(result.server);
    if (!server.setPermissions(server.permissions() | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther))
        result.failure = QStringLiteral("llama-server could not be made executable: ") + server.errorString();
    return result;
}

std::optional<QString> systemError(const QString &what)
{
    return what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

// Points `current` at `target` in one step: a new link is renamed over the old one, so there is
// never a moment without a usable engine.
std::optional<QString> switchCurrent(const QString &engineDirectory, const QString &relativeTarget)
{
    const QString link = EngineLocator::currentLink(engineDirectory);
    const QString staged = link + QStringLiteral(".new");
    QFile::remove(staged);
    if (::symlink(QFile::encodeName(relativeTarget).constData(), QFile::encodeName(staged).constData()) != 0)
        return systemError(QStringLiteral("The new engine could not be switched to"));
    if (std::rename(QFile::encodeName(staged).constData(), QFile::encodeName(link).constData()) != 0) {
        const auto failure = systemError(QStringLiteral("The new engine could not be switched to"));
        QFile::remove(staged);
        return failure;
    }
    return std::nullopt;
}

} // namespace

EngineInstaller::EngineInstaller(const EngineEnvironment &environment,
                                 std::function<QString()> executableInUse, DownloadTiming timing,
                                 QObject *parent)
    : QObject(parent)
    , m_environment(environment)
    , m_executableInUse(std::move(executableInUse))
    , m_timing(timing)
    , m_network(new QNetworkAccessManager(this))
    , m_chosenFile(DefaultsStore().text(chosenEngineKey))
{
}

EngineInstaller::~EngineInstaller() = default;

QString EngineInstaller::offerText() const
{
    if (!m_release || !m_asset)
        return QString();
    return QString::asprintf("llama.cpp %s · %s · %.0f MB", qPrintable(m_release->tag),
                             qPrintable(engineBuildKind(m_asset->name)),
                             static_cast<double>(m_asset->size) / 1048576.0);
}

QString EngineInstaller::installedTag() const
{
    return EngineLocator::installedReleaseTag(m_environment.engineDirectory);
}

bool EngineInstaller::updateAvailable() const
{
    return m_release && m_asset && m_release->tag != installedTag();
}

QString EngineInstaller::progressText() const
{
    return DownloadTexts::progressText(m_progress, m_downloadedBytes, m_totalBytes);
}

QString EngineInstaller::remainingTimeText() const
{
    return DownloadTexts::remainingTimeText(m_downloadStart, m_progress, QDateTime::currentDateTime());
}

void EngineInstaller::setPhase(const QString &phase, const QString &step)
{
    if (m_phase == phase && m_stepText == step)
        return;
    m_phase = phase;
    m_stepText = step;
    if (phase != QLatin1String("failed"))
        m_failureMessage.clear();
    emit phaseChanged();
}

void EngineInstaller::fail(const QString &message)
{
    m_failureMessage = message;
    m_phase = QStringLiteral("failed");
    m_stepText.clear();
    emit phaseChanged();
}

void EngineInstaller::setProgress(double progress, qint64 written, qint64 expected)
{
    m_progress = progress;
    m_downloadedBytes = written;
    m_totalBytes = expected;
    emit progressChanged();
}

QCoro::Task<bool> EngineInstaller::fetchRelease()
{
    QPointer<EngineInstaller> self(this);
    setPhase(QStringLiteral("checking"));
    const ReleasesClient::Lookup lookup =
        co_await ReleasesClient::fetchLatest(m_network, m_environment.releasesURL, releasesTimeoutMs);
    if (!self)
        co_return false;
    if (const auto *message = std::get_if<QString>(&lookup)) {
        fail(*message);
        co_return false;
    }
    const EngineRelease release = std::get<EngineRelease>(lookup);
    const bool vulkan = m_environment.preferVulkan.value_or(vulkanUsable());
    const QString architecture = QSysInfo::currentCpuArchitecture();
    m_release = release;
    m_asset = release.chooseAsset(architecture, vulkan);
    emit releaseChanged();
    if (!m_asset) {
        fail(QStringLiteral("llama.cpp %1 has no Linux build for this computer's processor (%2).")
                 .arg(release.tag, architecture));
        co_return false;
    }
    setPhase(QStringLiteral("idle"));
    co_return true;
}

QCoro::Task<> EngineInstaller::checkForUpdates()
{
    if (m_phase == QLatin1String("checking") || m_phase == QLatin1String("downloading")
        || m_phase == QLatin1String("installing"))
        co_return;
    co_await fetchRelease();
}

bool EngineInstaller::isInUse(const QString &directory) const
{
    const QString inUse = m_executableInUse ? m_executableInUse() : QString();
    return !inUse.isEmpty() && QFileInfo(inUse).canonicalFilePath().startsWith(QFileInfo(directory).canonicalFilePath() + u'/');
}

QCoro::Task<> EngineInstaller::install()
{
    if (m_phase == QLatin1String("checking") || m_phase == QLatin1String("downloading")
        || m_phase == QLatin1String("installing"))
        co_return;
    if (m_environment.engineDirectory.isEmpty()) {
        fail(QStringLiteral("There is no data folder to keep the engine in."));
        co_return;
    }
    // A running engine keeps its files: no update while a model is loaded from it.
    if (isInUse(m_environment.engineDirectory)) {
        fail(QStringLiteral("Stop the loaded model first — the engine it runs on cannot be replaced while it is in use."));
        co_return;
    }
    QPointer<EngineInstaller> self(this);
    if (!co_await fetchRelease() || !self)
        co_return;
    if (!isPlainName(m_release->tag)) {
        fail(QStringLiteral("The latest llama.cpp release has an unexpected name: %1").arg(m_release->tag));
        co_return;
    }
    const EngineRelease::Asset asset = *m_asset;
    const QString tag = m_release->tag;
    const std::optional<QString> archive = co_await download(asset);
    if (!self || !archive)
        co_return;
    co_await installArchive(*archive, tag);
    if (self)
        QFile::remove(*archive);
}

QCoro::Task<std::optional<QString>> EngineInstaller::download(EngineRelease::Asset asset)
{
    const QString downloads = QDir(m_environment.engineDirectory).filePath(QStringLiteral("downloads"));
    if (!QDir().mkpath(downloads)) {
        fail(QStringLiteral("The engine folder cannot be created: ") + downloads);
        co_return std::nullopt;
    }
    const QString destination = QDir(downloads).filePath(QStringLiteral("engine-archive"));
    m_cancelled = false;
    m_downloadStart = QDateTime::currentDateTime();
    setProgress(0, 0, asset.size);
    setPhase(QStringLiteral("downloading"));

    QPointer<EngineInstaller> self(this);
    std::optional<QString> outcome;
    bool ended = false;
    auto *session = new HFDownloadSession(
        destination,
        [self](double fraction, qint64 written, qint64 expected) {
            if (self)
                self->setProgress(fraction, written, expected);
        },
        [self, &outcome, &ended](const std::optional<QString> &failure) {
            outcome = failure;
            ended = true;
            if (self)
                emit self->downloadEnded();
        },
        m_timing, this);
    m_session = session;
    // Checked against the published digest as the bytes arrive.
    session->setChecks(DownloadChecks{asset.sha256, {}, {}});
    session->start(asset.downloadURL);
    // The session reports once, always from the event loop, so the wait below is in place first.
    if (!ended)
        co_await qCoro(this, &EngineInstaller::downloadEnded);
    if (!self)
        co_return std::nullopt;
    // An engine archive is small next to a model: a cut one is not kept for resuming, so nothing
    // half-written stays in the engine folder.
    if (m_cancelled || outcome)
        QDir(downloads).removeRecursively();
    if (m_cancelled) {
        setPhase(QStringLiteral("idle"));
        co_return std::nullopt;
    }
    if (outcome == HFDownloadSession::damagedDescription()) {
        fail(QStringLiteral("The downloaded engine does not match the checksum llama.cpp published for it, so it was not installed. Try again later."));
        co_return std::nullopt;
    }
    if (outcome) {
        fail(QStringLiteral("The engine download failed: ") + *outcome);
        co_return std::nullopt;
    }
    co_return destination;
}

void EngineInstaller::cancel()
{
    if (!m_session)
        return;
    m_cancelled = true;
    m_session->cancel();
}

QCoro::Task<> EngineInstaller::installArchive(QString archivePath, QString tag)
{
    QPointer<EngineInstaller> self(this);
    QDir().mkpath(m_environment.engineDirectory);

    setPhase(QStringLiteral("installing"), QStringLiteral("Unpacking…"));
    const QDir engineDirectory(m_environment.engineDirectory);
    // Unpacked beside its final place, so moving it there is a rename; removed on any failure.
    auto staging = std::make_shared<QTemporaryDir>(engineDirectory.filePath(QStringLiteral(".unpack-XXXXXX")));
    if (!staging->isValid()) {
        fail(QStringLiteral("The engine folder cannot be written: ") + staging->errorString());
        co_return;
    }
    const Unpacked unpacked = co_await QtConcurrent::run(unpackEngine, archivePath, staging->path());
    if (!self)
        co_return;
    if (unpacked.failure) {
        fail(*unpacked.failure);
        co_return;
    }

    setPhase(QStringLiteral("installing"), QStringLiteral("Testing the engine on this computer…"));
    const EngineProbe::Result probe = co_await EngineProbe::probe(unpacked.server, m_environment.probeTimeoutMs);
    if (!self)
        co_return;
    if (probe.failure) {
        fail(*probe.failure);
        co_return;
    }

    const QString release = engineDirectory.filePath(tag);
    if (isInUse(release)) {
        fail(QStringLiteral("Stop the loaded model first — the engine it runs on cannot be replaced while it is in use."));
        co_return;
    }
    QDir(release).removeRecursively();
    if (std::rename(QFile::encodeName(staging->path()).constData(), QFile::encodeName(release).constData()) != 0) {
        fail(*systemError(QStringLiteral("The engine could not be put in place")));
        co_return;
    }
    const QString binDirectory = QFileInfo(unpacked.server).absolutePath();
    const QString target = engineDirectory.relativeFilePath(release + binDirectory.mid(staging->path().size()));
    if (const auto failure = switchCurrent(m_environment.engineDirectory, target)) {
        QDir(release).removeRecursively();
        fail(*failure);
        co_return;
    }
    removeOlderReleases(tag);
    setPhase(QStringLiteral("idle"));
    emit installedChanged();
    emit releaseChanged();
    emit engineChanged();
}

void EngineInstaller::removeOlderReleases(const QString &keep)
{
    const QDir engineDirectory(m_environment.engineDirectory);
    const QFileInfoList entries = engineDirectory.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks);
    for (const QFileInfo &entry : entries) {
        if (entry.fileName() == keep || entry.fileName() == QLatin1String("downloads") || isInUse(entry.filePath()))
            continue;
        QDir(entry.filePath()).removeRecursively();
    }
}

void EngineInstaller::removeDownloaded()
{
    if (m_environment.engineDirectory.isEmpty())
        return;
    QFile::remove(EngineLocator::currentLink(m_environment.engineDirectory));
    removeOlderReleases(QString());
    emit installedChanged();
    emit releaseChanged();
    emit engineChanged();
}

QCoro::Task<> EngineInstaller::chooseFile(QString path)
{
    if (path.isEmpty())
        co_return;
    QPointer<EngineInstaller> self(this);
    setPhase(QStringLiteral("installing"), QStringLiteral("Testing the engine on this computer…"));
    const EngineProbe::Result probe = co_await EngineProbe::probe(path, m_environment.probeTimeoutMs);
    if (!self)
        co_return;
    if (probe.failure) {
        fail(*probe.failure);
        co_return;
    }
    m_chosenFile = path;
    DefaultsStore defaults;
    defaults.setValue(chosenEngineKey, path);
    defaults.sync();
    setPhase(QStringLiteral("idle"));
    emit engineChanged();
}
