#pragma once

#include "conversation/ToolCall.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QUuid>
#include <optional>

// One line of a chat. A message is never edited: a changed text is a new Message with a fresh
// id and timestamp that takes the old one's slot.
struct Message
{
    QUuid id;
    QString role;       // "user", "assistant" or "tool_result"
    QString content;    // text, or an image as a data URL
    QDateTime timestamp;
    std::optional<QList<ToolCall>> toolCalls;
    // Which model, on which server, wrote an assistant reply (empty server: this computer's own
    // engine; both empty for replies stored before this was recorded).
    QString model;
    QString server;

    static Message make(const QString &role, const QString &content,
                        std::optional<QList<ToolCall>> toolCalls = std::nullopt);
    // The same message signed by the model and server that wrote it.
    Message answeredBy(const QString &modelName, const QString &serverName) const;

    // The caption under a reply: "<model> on <server>", "<model> on this computer" for our own
    // engine, or empty when the reply does not say.
    QString caption() const;

    // True when the content is a JPEG or PNG image as a data URL (a screenshot).
    bool isImage() const;

    bool operator==(const Message &) const = default;
};

namespace Roles {
inline const QString user = QStringLiteral("user");
inline const QString assistant = QStringLiteral("assistant");
inline const QString toolResult = QStringLiteral("tool_result");
inline const QString system = QStringLiteral("system");
} // namespace Roles
