#include "engine/EngineRelease.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibrary>
#include <QRegularExpression>

namespace {
// llama.cpp names its processor targets its own way.
QString releaseArchitecture(const QString &cpuArchitecture)
{
    if (cpuArchitecture == QLatin1String("x86_64"))
        return QStringLiteral("x64");
    return cpuArchitecture;
}
} // namespace

std::optional<EngineRelease> EngineRelease::fromJson(const QByteArray &json)
{
    const QJsonObject object = QJsonDocument::fromJson(json).object();
    EngineRelease release;
    release.tag = object.value(QStringLiteral("tag_name")).toString();
    if (release.tag.isEmpty())
        return std::nullopt;
    for (const QJsonValue &value : object.value(QStringLiteral("assets")).toArray()) {
        const QJsonObject asset = value.toObject();
        Asset entry;
        entry.name = asset.value(QStringLiteral("name")).toString();
        entry.size = asset.value(QStringLiteral("size")).toInteger();
        entry.downloadURL = QUrl(asset.value(QStringLiteral("browser_download_url")).toString());
        const QString digest = asset.value(QStringLiteral("digest")).toString();
        if (digest.startsWith(QLatin1String("sha256:")))
            entry.sha256 = digest.mid(7).toLower().toLatin1();
        if (!entry.name.isEmpty() && entry.downloadURL.isValid())
            release.assets.append(entry);
    }
    return release;
}

std::optional<EngineRelease::Asset> EngineRelease::chooseAsset(const QString &cpuArchitecture, bool vulkan) const
{
    const QString arch = QRegularExpression::escape(releaseArchitecture(cpuArchitecture));
    const QRegularExpression pattern(QStringLiteral("^llama-.+-bin-ubuntu-%1%2\\.(tar\\.gz|zip)$")
                                         .arg(vulkan ? QStringLiteral("vulkan-") : QString(), arch));
    std::optional<Asset> chosen;
    for (const Asset &asset : assets) {
        if (!pattern.match(asset.name).hasMatch())
            continue;
        if (!chosen || (asset.name.endsWith(QLatin1String(".tar.gz")) && !chosen->name.endsWith(QLatin1String(".tar.gz"))))
            chosen = asset;
    }
    // A release without a Vulkan build still has the CPU one.
    if (!chosen && vulkan)
        return chooseAsset(cpuArchitecture, false);
    return chosen;
}

QString engineBuildKind(const QString &assetName)
{
    return assetName.contains(QLatin1String("-vulkan-")) ? QStringLiteral("Vulkan GPU build")
                                                         : QStringLiteral("CPU build");
}

bool vulkanUsable()
{
    if (QDir(QStringLiteral("/dev/dri")).entryList({QStringLiteral("renderD*")}, QDir::System).isEmpty())
        return false;
    QLibrary loader(QStringLiteral("vulkan"), 1);
    const bool loads = loader.load();
    if (loads)
        loader.unload();
    return loads;
}
