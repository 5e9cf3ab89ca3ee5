#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <optional>

// One published llama.cpp release, as the releases API describes it.
struct EngineRelease
{
    struct Asset
    {
        QString name;
        qint64 size = 0;
        QUrl downloadURL;
        QByteArray sha256;  // lower-case hex; empty when the release publishes no digest
    };

    QString tag;  // "b4748"
    QList<Asset> assets;

    // The object of `GET …/releases/latest`; none when it does not describe a release.
    static std::optional<EngineRelease> fromJson(const QByteArray &json);

    // The Linux build for this processor ("x86_64", "arm64" as Qt names them): the Vulkan one
    // when `vulkan`, else the CPU one; a `.tar.gz` before a `.zip` of the same build. None when
    // the release has no build for this machine.
    std::optional<Asset> chooseAsset(const QString &cpuArchitecture, bool vulkan) const;
};

// "Vulkan GPU build" for a Vulkan archive, else "CPU build".
QString engineBuildKind(const QString &assetName);

// The Vulkan build pays off only where a Vulkan loader and a GPU render device both exist.
bool vulkanUsable();
