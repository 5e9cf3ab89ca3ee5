#include "models/UserModels.h"

#include "conversation/DefaultsStore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
const QString userModelsKey = QStringLiteral("userModels");
const QString catalogSourcesKey = QStringLiteral("catalogSources");
} // namespace

namespace UserModels {

QList<HFModel> load()
{
    QList<HFModel> models;
    const QJsonArray stored = QJsonDocument::fromJson(DefaultsStore().value(userModelsKey).toByteArray()).array();
    for (const QJsonValue &value : stored) {
        const QJsonObject object = value.toObject();
        std::optional<HFModel> model = HFModel::fromJson(object);
        // A damaged entry is skipped; the others still load.
        if (!model)
            continue;
        model->origin = object.value(QStringLiteral("origin")).toString() == QLatin1String("file")
            ? ModelOrigin::file : ModelOrigin::hub;
        const QJsonArray extras = object.value(QStringLiteral("files")).toArray();
        for (qsizetype i = 0; i < model->variants.size(); ++i) {
            ModelVariant &variant = model->variants[i];
            const QJsonObject extra = extras.at(i).toObject();
            variant.localPath = extra.value(QStringLiteral("localPath")).toString();
            variant.sha256 = extra.value(QStringLiteral("sha256")).toString().toLatin1();
            // Download state is never carried over from an earlier run.
            variant.isDownloading = false;
            variant.downloadProgress = 0.0;
        }
        models.append(*model);
    }
    return models;
}

void save(const QList<HFModel> &models)
{
    QJsonArray stored;
    for (const HFModel &model : models) {
        if (model.origin == ModelOrigin::catalog)
            continue;
        QJsonObject object = model.toJson();
        object.insert(QStringLiteral("origin"), model.origin == ModelOrigin::file ? QStringLiteral("file") : QStringLiteral("hub"));
        QJsonArray extras;
        for (const ModelVariant &variant : model.variants)
            extras.append(QJsonObject{{QStringLiteral("localPath"), variant.localPath},
                                      {QStringLiteral("sha256"), QString::fromLatin1(variant.sha256)}});
        object.insert(QStringLiteral("files"), extras);
        stored.append(object);
    }
    DefaultsStore().setValue(userModelsKey, QJsonDocument(stored).toJson(QJsonDocument::Compact));
}

QHash<QString, QString> loadCatalogSources()
{
    QHash<QString, QString> sources;
    const QJsonObject stored = QJsonDocument::fromJson(DefaultsStore().value(catalogSourcesKey).toByteArray()).object();
    for (auto it = stored.begin(); it != stored.end(); ++it)
        sources.insert(it.key(), it.value().toString());
    return sources;
}

void saveCatalogSource(const QString &filename, const QString &repo)
{
    DefaultsStore store;
    QJsonObject stored = QJsonDocument::fromJson(store.value(catalogSourcesKey).toByteArray()).object();
    stored.insert(filename, repo);
    store.setValue(catalogSourcesKey, QJsonDocument(stored).toJson(QJsonDocument::Compact));
}

} // namespace UserModels
