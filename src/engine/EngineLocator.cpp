#include "engine/EngineLocator.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

std::optional<EngineChoice> firstOf(const QStringList &candidates, EngineSource source)
{
    for (const QString &candidate : candidates) {
        if (isExecutableFile(candidate))
            return EngineChoice{candidate, source, QString()};
    }
    return std::nullopt;
}

} // namespace

QString EngineChoice::sourceLabel() const
{
    switch (source) {
    case EngineSource::downloaded:
        return QStringLiteral("downloaded ") + releaseTag;
    case EngineSource::homebrew:
        return QStringLiteral("Homebrew");
    case EngineSource::system:
        return QStringLiteral("system");
    case EngineSource::chosenFile:
        return QStringLiteral("chosen file");
    }
    return QString();
}

QString EngineChoice::sourceKey() const
{
    switch (source) {
    case EngineSource::downloaded:
        return QStringLiteral("downloaded");
    case EngineSource::homebrew:
        return QStringLiteral("homebrew");
    case EngineSource::system:
        return QStringLiteral("system");
    case EngineSource::chosenFile:
        return QStringLiteral("chosenFile");
    }
    return QString();
}

namespace EngineLocator {

QString currentLink(const QString &engineDirectory)
{
    return QDir(engineDirectory).filePath(QStringLiteral("current"));
}

QString installedReleaseTag(const QString &engineDirectory)
{
    if (engineDirectory.isEmpty())
        return QString();
    const QString target = QFileInfo(currentLink(engineDirectory)).symLinkTarget();
    if (target.isEmpty())
        return QString();
    // The link names "<engine directory>/b<N>/…/bin": the first folder below is the release.
    const QString relative = QDir(QFileInfo(engineDirectory).canonicalFilePath()).relativeFilePath(target);
    return relative.section(QLatin1Char('/'), 0, 0);
}

QProcessEnvironment withOwnLibraries(const QString &executable, QProcessEnvironment base)
{
    const QString folder = QFileInfo(executable).absolutePath();
    const QString inherited = base.value(QStringLiteral("LD_LIBRARY_PATH"));
    base.insert(QStringLiteral("LD_LIBRARY_PATH"), inherited.isEmpty() ? folder : folder + u':' + inherited);
    return base;
}

std::optional<EngineChoice> locate(const EngineEnvironment &environment, const QString &chosenFile)
{
    if (!environment.engineDirectory.isEmpty()) {
        // The real path, not the one through `current`: a running engine keeps naming its own
        // release folder after an update has moved the link on.
        const QFileInfo downloaded(QDir(currentLink(environment.engineDirectory)).filePath(QStringLiteral("llama-server")));
        if (downloaded.isFile() && downloaded.isExecutable())
            return EngineChoice{downloaded.canonicalFilePath(), EngineSource::downloaded,
                                installedReleaseTag(environment.engineDirectory)};
    }
    if (auto homebrew = firstOf(environment.engineCandidates, EngineSource::homebrew))
        return homebrew;
    if (environment.searchSystemPath) {
        const QString onPath = QStandardPaths::findExecutable(QStringLiteral("llama-server"));
        if (!onPath.isEmpty())
            return EngineChoice{onPath, EngineSource::system, QString()};
    }
    if (auto system = firstOf(environment.systemEngineCandidates, EngineSource::system))
        return system;
    if (!chosenFile.isEmpty() && isExecutableFile(chosenFile))
        return EngineChoice{chosenFile, EngineSource::chosenFile, QString()};
    return std::nullopt;
}

} // namespace EngineLocator
