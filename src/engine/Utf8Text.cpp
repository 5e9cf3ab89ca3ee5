#include "engine/Utf8Text.h"

#include <QStringDecoder>

std::optional<QString> decodeUtf8Strictly(const QByteArray &bytes)
{
    // Stateless: a character cut at the end of the bytes counts as invalid instead of waiting
    // for the rest.
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}
