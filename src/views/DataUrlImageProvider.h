#pragma once

#include <QByteArray>
#include <QCache>
#include <QQuickImageProvider>
#include <optional>

// Images sent inside messages as Base64 data URLs (screenshots). The bytes are decoded once when
// a bubble asks for its source and kept in a small cache keyed by a hash of the content.
class DataUrlImageProvider : public QQuickImageProvider
{
public:
    DataUrlImageProvider();

    // The key under which the image bytes of this data URL are kept; empty when it is not one.
    static QString store(const QString &content);
    // Base64 part of a JPEG or PNG data URL, decoded strictly; none when it does not decode.
    static std::optional<QByteArray> decode(const QString &content);

    QImage requestImage(const QString &id, QSize *size, const QSize &requestedSize) override;

    // A data URL longer than this is not decoded: drawing it could stall the window.
    static constexpr qsizetype maximumLength = 48 * 1024 * 1024;
    static constexpr int maximumPixels = 16384 * 16384;
};
