#include "ApprovalCard.h"

#include "tools/ToolCallResolver.h"

QVariantMap ApprovalCard::card(const QVariantMap &call)
{
    const QVariantMap resolved = call.value(QStringLiteral("card")).toMap();
    if (!resolved.isEmpty())
        return resolved;
    ToolCall toolCall{call.value(QStringLiteral("id")).toString(), call.value(QStringLiteral("name")).toString(),
                      {}, ToolStatus::pending, std::nullopt};
    const QVariantMap arguments = call.value(QStringLiteral("arguments")).toMap();
    for (auto it = arguments.cbegin(); it != arguments.cend(); ++it)
        toolCall.arguments.insert(it.key(), it.value().toString());
    return ToolCallResolver::resolve(toolCall).card();
}
