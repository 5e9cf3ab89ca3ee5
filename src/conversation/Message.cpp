#include "conversation/Message.h"

Message Message::make(const QString &role, const QString &content,
                      std::optional<QList<ToolCall>> toolCalls)
{
    return Message{QUuid::createUuid(), role, content, QDateTime::currentDateTime(),
                   std::move(toolCalls)};
}

bool Message::isImage() const
{
    return content.startsWith(QLatin1String("data:image/jpeg;base64,"))
        || content.startsWith(QLatin1String("data:image/png;base64,"));
}
