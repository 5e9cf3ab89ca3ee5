#include "models/HFModel.h"

#include "conversation/Identifiers.h"

#include <QJsonArray>
#include <array>

QUrl HFModel::defaultHubBaseURL()
{
    return QUrl(QStringLiteral("https://huggingface.co/"));
}

QList<ModelVariant> HFModel::downloadedVariants() const
{
    QList<ModelVariant> downloaded;
    for (const ModelVariant &variant : variants)
        if (variant.isDownloaded)
            downloaded.append(variant);
    return downloaded;
}

std::optional<QUrl> HFModel::downloadURL(const ModelVariant &variant, const QUrl &hubBaseURL) const
{
    const QString text = hubBaseURL.toString() + downloadRepo() + QStringLiteral("/resolve/main/")
        + variant.filename;
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return std::nullopt;
    return url;
}

QString HFModel::localDirectoryName() const
{
    return QString(repo).replace(QLatin1Char('/'), QLatin1Char('_'));
}

QJsonObject HFModel::toJson() const
{
    QJsonArray variantArray;
    for (const ModelVariant &variant : variants)
        variantArray.append(variant.toJson());
    return QJsonObject{
        {QStringLiteral("id"), Identifiers::uuidText(id)},
        {QStringLiteral("repo"), repo},
        {QStringLiteral("displayName"), displayName},
        {QStringLiteral("description"), description},
        {QStringLiteral("parameterCount"), parameterCount},
        {QStringLiteral("variants"), variantArray},
    };
}

std::optional<HFModel> HFModel::fromJson(const QJsonObject &object)
{
    HFModel model;
    model.id = Identifiers::parseUuid(object.value(QStringLiteral("id")).toString());
    if (model.id.isNull())
        return std::nullopt;
    const std::array<std::pair<const char *, QString *>, 4> texts{{
        {"repo", &model.repo},
        {"displayName", &model.displayName},
        {"description", &model.description},
        {"parameterCount", &model.parameterCount},
    }};
    for (const auto &[key, field] : texts) {
        const QJsonValue value = object.value(QLatin1String(key));
        if (!value.isString())
            return std::nullopt;
        *field = value.toString();
    }
    const QJsonValue variantArray = object.value(QStringLiteral("variants"));
    if (!variantArray.isArray())
        return std::nullopt;
    for (const QJsonValue &entry : variantArray.toArray()) {
        const std::optional<ModelVariant> variant = ModelVariant::fromJson(entry.toObject());
        if (!variant)
            return std::nullopt;
        model.variants.append(*variant);
    }
    return model;
}
