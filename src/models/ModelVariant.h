#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QUuid>
#include <optional>

// One downloadable quantization file of a hub repository, with the live state of its local copy.
struct ModelVariant
{
    QUuid id;
    QString quantization;
    double sizeGB = 0.0;
    QString filename;
    bool isDownloaded = false;
    double downloadProgress = 0.0;
    bool isDownloading = false;
    qint64 downloadedBytes = 0;
    qint64 totalBytes = 0;
    std::optional<QDateTime> downloadStartTime;
    // Bytes a resumed download already had on disk, so its rate counts only this run.
    qint64 resumedBytes = 0;
    // A file the user opened where it lies: referenced, never copied or deleted. Empty for
    // files downloaded into the models folder.
    QString localPath;
    // SHA-256 (lower-case hex) the hub lists for the file; empty when unknown.
    QByteArray sha256;

    // "2.0 GB" from one gigabyte up, "512 MB" below.
    QString sizeLabel() const;
    // "Recommended" for Q4_K_M and the like; an unknown quantization is shown as itself.
    QString qualityLabel() const;
    // Nominal size in bytes (1 GB = 2^30 bytes), truncated.
    qint64 nominalBytes() const;

    // The byte counts and start time describe one running download only and are not written.
    QJsonObject toJson() const;
    static std::optional<ModelVariant> fromJson(const QJsonObject &object);

    bool operator==(const ModelVariant &) const = default;
};
