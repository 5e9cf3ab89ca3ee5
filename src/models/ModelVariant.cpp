#include "models/ModelVariant.h"

#include "conversation/Identifiers.h"
#include "models/DownloadTexts.h"

#include <QJsonValue>
#include <array>

namespace {
constexpr double bytesPerGB = 1073741824.0;

constexpr std::array<std::pair<const char *, const char *>, 4> qualityNames{{
    {"Q2_K", "Smallest"},
    {"Q4_K_M", "Recommended"},
    {"Q5_K_M", "High Quality"},
    {"Q8_0", "Best Quality"},
}};
} // namespace

QString ModelVariant::sizeLabel() const
{
    return DownloadTexts::sizeText(sizeGB);
}

QString ModelVariant::qualityLabel() const
{
    for (const auto &[name, label] : qualityNames)
        if (quantization == QLatin1String(name))
            return QString::fromLatin1(label);
    return quantization;
}

qint64 ModelVariant::nominalBytes() const
{
    return static_cast<qint64>(sizeGB * bytesPerGB);
}

QJsonObject ModelVariant::toJson() const
{
    return QJsonObject{
        {QStringLiteral("id"), Identifiers::uuidText(id)},
        {QStringLiteral("quantization"), quantization},
        {QStringLiteral("sizeGB"), sizeGB},
        {QStringLiteral("filename"), filename},
        {QStringLiteral("isDownloaded"), isDownloaded},
        {QStringLiteral("downloadProgress"), downloadProgress},
        {QStringLiteral("isDownloading"), isDownloading},
    };
}

std::optional<ModelVariant> ModelVariant::fromJson(const QJsonObject &object)
{
    const QJsonValue id = object.value(QStringLiteral("id"));
    const QJsonValue quantization = object.value(QStringLiteral("quantization"));
    const QJsonValue sizeGB = object.value(QStringLiteral("sizeGB"));
    const QJsonValue filename = object.value(QStringLiteral("filename"));
    const QJsonValue isDownloaded = object.value(QStringLiteral("isDownloaded"));
    const QJsonValue progress = object.value(QStringLiteral("downloadProgress"));
    const QJsonValue isDownloading = object.value(QStringLiteral("isDownloading"));
    if (!id.isString() || !quantization.isString() || !sizeGB.isDouble() || !filename.isString()
        || !isDownloaded.isBool() || !progress.isDouble() || !isDownloading.isBool())
        return std::nullopt;
    const QUuid uuid = Identifiers::parseUuid(id.toString());
    if (uuid.isNull())
        return std::nullopt;

    ModelVariant variant;
    variant.id = uuid;
    variant.quantization = quantization.toString();
    variant.sizeGB = sizeGB.toDouble();
    variant.filename = filename.toString();
    variant.isDownloaded = isDownloaded.toBool();
    variant.downloadProgress = progress.toDouble();
    variant.isDownloading = isDownloading.toBool();
    return variant;
}
