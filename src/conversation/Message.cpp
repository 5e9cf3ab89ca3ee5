#include "conversation/Message.h"

Message Message::make(const QString &role, const QString &content,
                      std::optional<QList<ToolCall>> toolCalls)
{
    return Message{QUuid::createUuid(), role, content, QDateTime::currentDateTime(),
                   std::move(toolCalls), {}, {}};
}

Message Message::answeredBy(const QString &modelName, const QString &serverName) const
{
    Message signedReply = *this;
    signedReply.model = modelName;
    signedReply.server = serverName;
    return signedReply;
}

bool Message::isImage() const
{
    return content.startsWith(QLatin1String("data:image/jpeg;base64,"))
        || content.startsWith(QLatin1String("data:image/png;base64,"));
}

QString Message::caption() const
{
    if (model.isEmpty())
        return {};
    return QStringLiteral("%1 on %2").arg(model, server.isEmpty() ? QStringLiteral("this computer") : server);
}
