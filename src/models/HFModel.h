#pragma once

#include "models/ModelVariant.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QUrl>
#include <QUuid>
#include <optional>

// Where a library entry came from: the built-in catalogue, a file the user opened, or a
// repository the user added from the hub. The last two are "My models" and are stored.
enum class ModelOrigin { catalog, file, hub };

// One model repository on the hub and the files of it that the app offers.
struct HFModel
{
    QUuid id;
    QString repo;            // "owner/name"
    QString displayName;
    QString description;
    QString parameterCount;  // "3B", "8B"
    QList<ModelVariant> variants;
    ModelOrigin origin = ModelOrigin::catalog;
    // The repository a catalogue file is really downloaded from, once the user agreed to use
    // another one because the catalogue's own was refused; empty = `repo`.
    QString sourceRepo;

    // The hub the app downloads from (scheme, host and a trailing "/").
    static QUrl defaultHubBaseURL();

    QList<ModelVariant> downloadedVariants() const;
    // <hub>/<repo>/resolve/main/<filename>; none when the text does not form a valid address.
    std::optional<QUrl> downloadURL(const ModelVariant &variant, const QUrl &hubBaseURL) const;
    // The folder name that keeps this repository's files apart: "/" becomes "_".
    QString localDirectoryName() const;
    // The repository downloads come from: `sourceRepo` when set, else `repo`.
    QString downloadRepo() const { return sourceRepo.isEmpty() ? repo : sourceRepo; }

    QJsonObject toJson() const;
    static std::optional<HFModel> fromJson(const QJsonObject &object);

    bool operator==(const HFModel &) const = default;
};
