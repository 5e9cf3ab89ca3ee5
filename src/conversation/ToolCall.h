#pragma once

#include <QMap>
#include <QMetaType>
#include <QString>
#include <optional>

enum class ToolStatus { pending, approved, executing, completed, failed, denied };

QString toolStatusRawValue(ToolStatus status);
std::optional<ToolStatus> toolStatusFromRawValue(const QString &raw);

// One tool invocation the model asked for. Argument values are always text.
struct ToolCall
{
    QString id;
    QString name;
    QMap<QString, QString> arguments;
    ToolStatus status = ToolStatus::pending;
    std::optional<QString> result;

    // A new pending call with a fresh upper-case UUID as its id.
    static ToolCall make(const QString &name, const QMap<QString, QString> &arguments);

    bool operator==(const ToolCall &) const = default;
};

Q_DECLARE_METATYPE(ToolCall)
