#include "tools/ActionError.h"

QString errorText(const ActionError &error)
{
    return QStringLiteral("Error: ") + error.description;
}

QString resultText(const TextResult &result)
{
    if (const auto *error = std::get_if<ActionError>(&result))
        return errorText(*error);
    return std::get<QString>(result);
}
