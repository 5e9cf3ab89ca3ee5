#include "DataUrlImageProvider.h"

#include "ChatRules.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QImageReader>

namespace {

QCache<QString, QByteArray> &imageBytes()
{
    // Sized by bytes: a handful of screenshots.
    static QCache<QString, QByteArray> cache(64 * 1024 * 1024);
    return cache;
}

} // namespace

DataUrlImageProvider::DataUrlImageProvider()
    : QQuickImageProvider(QQuickImageProvider::Image)
{
}

std::optional<QByteArray> DataUrlImageProvider::decode(const QString &content)
{
    if (content.size() > maximumLength)
        return std::nullopt;
    for (const QString &prefix : ChatRules::imageDataPrefixes) {
        if (!content.startsWith(prefix))
            continue;
        auto result = QByteArray::fromBase64Encoding(QStringView(content).mid(prefix.size()).toLatin1(),
                                                     QByteArray::AbortOnBase64DecodingErrors);
        if (!result)
            return std::nullopt;
        return *result;
    }
    return std::nullopt;
}

QString DataUrlImageProvider::store(const QString &content)
{
    const QString key = QString::fromLatin1(
        QCryptographicHash::hash(QStringView(content).toUtf8(), QCryptographicHash::Sha1).toHex());
    if (imageBytes().contains(key))
        return key;
    auto bytes = decode(content);
    if (!bytes)
        return {};
    const qsizetype cost = qMax<qsizetype>(1, bytes->size());
    imageBytes().insert(key, new QByteArray(std::move(*bytes)), cost);
    return key;
}

QImage DataUrlImageProvider::requestImage(const QString &id, QSize *size, const QSize &requestedSize)
{
    QImage image;
    if (const QByteArray *bytes = imageBytes().object(id)) {
        QBuffer buffer;
        buffer.setData(*bytes);
        QImageReader reader(&buffer);
        const QSize full = reader.size();
        // Unreadable or absurdly large pictures draw nothing rather than stall or exhaust memory.
        if (full.isValid() && qint64(full.width()) * full.height() <= maximumPixels) {
            if (requestedSize.isValid() && !requestedSize.isEmpty())
                reader.setScaledSize(full.scaled(requestedSize, Qt::KeepAspectRatio).boundedTo(full));
            image = reader.read();
        }
    }
    if (size)
        *size = image.size();
    return image;
}
