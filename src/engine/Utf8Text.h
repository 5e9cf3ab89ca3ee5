#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The text of bytes that are entirely valid UTF-8 (a byte-order mark is kept as a character);
// none when any byte sequence is invalid or cut short.
std::optional<QString> decodeUtf8Strictly(const QByteArray &bytes);
