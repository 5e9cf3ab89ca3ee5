#include "ToolActivity.h"

#include "conversation/ToolCall.h"
#include "tools/ToolName.h"

#include <QDir>

namespace {

// A path under the home folder reads as "~/…", the way people write it.
QString shortPath(const QString &path)
{
    const QString home = QDir::homePath();
    if (path == home)
        return QStringLiteral("~");
    if (path.startsWith(home + QLatin1Char('/')))
        return QStringLiteral("~") + path.mid(home.size());
    return path;
}

QString target(const ToolCall &call)
{
    for (const char *key : {"path", "directory"})
        if (call.arguments.contains(QLatin1String(key)))
            return shortPath(call.arguments.value(QLatin1String(key)));
    return call.arguments.value(QStringLiteral("app_name"));
}

QString pastTense(ToolName tool, const QString &what)
{
    switch (tool) {
    case ToolName::takeScreenshot: return QStringLiteral("Took a screenshot");
    case ToolName::readFile: return QStringLiteral("Read ") + what;
    case ToolName::writeFile: return QStringLiteral("Wrote ") + what;
    case ToolName::listFiles: return QStringLiteral("Listed ") + what;
    case ToolName::deleteFile: return QStringLiteral("Moved ") + what + QStringLiteral(" to Trash");
    case ToolName::openApp: return QStringLiteral("Opened ") + what;
    case ToolName::closeApp: return QStringLiteral("Closed ") + what;
    case ToolName::listOpenApps: return QStringLiteral("Listed the open applications");
    case ToolName::getSystemInfo: return QStringLiteral("Read the system information");
    case ToolName::getClipboard: return QStringLiteral("Read the clipboard");
    case ToolName::setClipboard: return QStringLiteral("Set the clipboard");
    case ToolName::listLocalModels: return QStringLiteral("Listed the local models");
    case ToolName::downloadModel:
    case ToolName::setActiveModel: return QStringLiteral("Pointed to the Models tab");
    }
    return {};
}

} // namespace

QString ToolActivity::action(const ToolCall &call)
{
    const std::optional<ToolName> tool = Tools::toolNameFrom(call.name);
    const QString what = target(call);
    if (tool && call.status == ToolStatus::completed)
        return pastTense(*tool, what);
    const QString title = tool ? Tools::title(*tool) : call.name;
    return what.isEmpty() ? title : title + QLatin1Char(' ') + what;
}

QVariantList ToolActivity::rows(const QVariantList &toolCalls)
{
    QVariantList rows;
    for (const QVariant &item : toolCalls) {
        const QVariantMap map = item.toMap();
        const std::optional<ToolStatus> status = toolStatusFromRawValue(map.value(QStringLiteral("status")).toString());
        if (!status || *status == ToolStatus::pending)
            continue;
        ToolCall call{map.value(QStringLiteral("id")).toString(), map.value(QStringLiteral("name")).toString(), {},
                      *status, map.value(QStringLiteral("result")).toString()};
        const QVariantMap arguments = map.value(QStringLiteral("arguments")).toMap();
        for (auto it = arguments.cbegin(); it != arguments.cend(); ++it)
            call.arguments.insert(it.key(), it.value().toString());
        const bool done = *status == ToolStatus::completed;
        const bool denied = *status == ToolStatus::denied;
        rows.append(QVariantMap{
            {QStringLiteral("icon"), done ? QStringLiteral("checkmark.circle.fill")
                                     : denied ? QStringLiteral("xmark.circle.fill")
                                              : QStringLiteral("exclamationmark.circle.fill")},
            {QStringLiteral("tint"), done ? QStringLiteral("green") : denied ? QStringLiteral("secondary") : QStringLiteral("red")},
            {QStringLiteral("action"), action(call)},
            // What the model was told, never more; a denial reads as the one word.
            {QStringLiteral("result"), denied ? QStringLiteral("Denied") : call.result.value_or(QString())},
        });
    }
    return rows;
}
