#pragma once

#include "conversation/ChatSession.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <optional>

// The chat archive: one compact JSON array of sessions, used for the stored conversations and
// for export and import. Decoding is strict: one bad element fails the whole archive.
namespace ChatArchive {

QByteArray encode(const QList<ChatSession> &sessions);
std::optional<QList<ChatSession>> decode(const QByteArray &json);
// The decoder large archives use: the sessions are read in `slices` runs at once. It accepts
// exactly what the one-pass reader accepts.
std::optional<QList<ChatSession>> decodeInSlices(const QByteArray &json, int slices);

QJsonObject encodeToolCall(const ToolCall &call);
QJsonObject encodeMessage(const Message &message);
QJsonObject encodeSession(const ChatSession &session);

} // namespace ChatArchive
