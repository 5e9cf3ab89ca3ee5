#include "conversation/ToolCall.h"

#include "conversation/Identifiers.h"

#include <array>

namespace {
constexpr std::array<std::pair<ToolStatus, const char *>, 6> statusNames{{
    {ToolStatus::pending, "pending"},
    {ToolStatus::approved, "approved"},
    {ToolStatus::executing, "executing"},
    {ToolStatus::completed, "completed"},
    {ToolStatus::failed, "failed"},
    {ToolStatus::denied, "denied"},
}};
} // namespace

QString toolStatusRawValue(ToolStatus status)
{
    for (const auto &[value, name] : statusNames)
        if (value == status)
            return QString::fromLatin1(name);
    return {};
}

std::optional<ToolStatus> toolStatusFromRawValue(const QString &raw)
{
    for (const auto &[value, name] : statusNames)
        if (raw == QLatin1String(name))
            return value;
    return std::nullopt;
}

ToolCall ToolCall::make(const QString &name, const QMap<QString, QString> &arguments)
{
    return ToolCall{Identifiers::newUuidText(), name, arguments, ToolStatus::pending, std::nullopt};
}
