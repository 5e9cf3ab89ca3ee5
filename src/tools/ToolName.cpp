#include "tools/ToolName.h"

#include <QJsonObject>
#include <vector>

namespace {

struct Parameter
{
    const char *name;
    const char *description;
};

struct ToolInfo
{
    ToolName tool;
    const char *raw;
    const char *title;
    const char *summary;
    const char *description;
    std::vector<Parameter> parameters; // every parameter is required, in this order
};

const std::vector<ToolInfo> &catalogue()
{
    static const std::vector<ToolInfo> tools = {
        {ToolName::takeScreenshot, "take_screenshot", "Take Screenshot", "Capture the current screen",
         "Capture the current screen. Returns base64 encoded image.", {}},
        {ToolName::readFile, "read_file", "Read File", "Read contents of a file",
         "Read contents of a file at the given path.", {{"path", "The absolute file path to read"}}},
        {ToolName::writeFile, "write_file", "Write File", "Write content to a file", "Write content to a file.",
         {{"path", "The absolute file path"}, {"content", "The content to write"}}},
        {ToolName::listFiles, "list_files", "List Files", "List files in a directory", "List files in a directory.",
         {{"directory", "The directory path to list"}}},
        {ToolName::deleteFile, "delete_file", "Delete File", "Move a file to Trash", "Move a file to Trash.",
         {{"path", "The file path to delete"}}},
        {ToolName::openApp, "open_app", "Open Application", "Launch an application", "Launch a macOS application.",
         {{"app_name", "Name of the app to open"}}},
        {ToolName::closeApp, "close_app", "Close Application", "Close an application",
         "Close a running application.", {{"app_name", "Name of the app to close"}}},
        {ToolName::listOpenApps, "list_open_apps", "List Open Apps", "Get list of running apps",
         "Get list of currently running applications.", {}},
        {ToolName::getSystemInfo, "get_system_info", "Get System Info", "Get macOS system information",
         "Get macOS system information including version, RAM, disk space.", {}},
        {ToolName::getClipboard, "get_clipboard", "Get Clipboard", "Read current clipboard",
         "Get current clipboard contents.", {}},
        {ToolName::setClipboard, "set_clipboard", "Set Clipboard", "Set clipboard content",
         "Set clipboard to specified text.", {{"text", "Text to copy to clipboard"}}},
        {ToolName::listLocalModels, "list_local_models", "List Local Models", "List available local models",
         "List locally downloaded GGUF models.", {}},
        {ToolName::downloadModel, "download_model", "Download Model", "Download a model",
         "Download a model (use the Models tab instead).", {{"model_name", "Name of the model to download"}}},
        {ToolName::setActiveModel, "set_active_model", "Set Active Model", "Switch to a different model",
         "Switch the active model (use the Models tab instead).", {{"model_name", "Name of the model to activate"}}},
    };
    return tools;
}

const ToolInfo &info(ToolName tool)
{
    // The catalogue lists the tools in the order of the enumeration.
    return catalogue().at(static_cast<size_t>(tool));
}

} // namespace

namespace Tools {

std::optional<ToolName> toolNameFrom(const QString &raw)
{
    for (const ToolInfo &tool : catalogue()) {
        if (raw == QLatin1String(tool.raw))
            return tool.tool;
    }
    return std::nullopt;
}

QString rawValue(ToolName tool)
{
    return QString::fromLatin1(info(tool).raw);
}

QString title(ToolName tool)
{
    return QString::fromLatin1(info(tool).title);
}

QString summary(ToolName tool)
{
    return QString::fromLatin1(info(tool).summary);
}

QStringList parameterNames(ToolName tool)
{
    QStringList names;
    for (const Parameter &parameter : info(tool).parameters)
        names.append(QLatin1String(parameter.name));
    return names;
}

QJsonArray toolDefinitions()
{
    QJsonArray definitions;
    for (const ToolInfo &tool : catalogue()) {
        QJsonObject properties;
        QJsonArray required;
        for (const Parameter &parameter : tool.parameters) {
            properties.insert(QLatin1String(parameter.name),
                              QJsonObject{{QStringLiteral("type"), QStringLiteral("string")},
                                          {QStringLiteral("description"), QLatin1String(parameter.description)}});
            required.append(QLatin1String(parameter.name));
        }
        const QJsonObject parameters{{QStringLiteral("type"), QStringLiteral("object")},
                                     {QStringLiteral("properties"), properties},
                                     {QStringLiteral("required"), required}};
        const QJsonObject function{{QStringLiteral("name"), QLatin1String(tool.raw)},
                                   {QStringLiteral("description"), QLatin1String(tool.description)},
                                   {QStringLiteral("parameters"), parameters}};
        definitions.append(QJsonObject{{QStringLiteral("type"), QStringLiteral("function")},
                                       {QStringLiteral("function"), function}});
    }
    return definitions;
}

} // namespace Tools
