#pragma once

#include <QJsonArray>
#include <QString>
#include <optional>

// The fourteen tools the model may call, in the order of their definitions.
enum class ToolName {
    takeScreenshot, readFile, writeFile, listFiles, deleteFile, openApp, closeApp, listOpenApps,
    getSystemInfo, getClipboard, setClipboard, listLocalModels, downloadModel, setActiveModel,
};

namespace Tools {

// Exact, case-sensitive match on the raw name ("take_screenshot", …); anything else is none.
std::optional<ToolName> toolNameFrom(const QString &raw);
QString rawValue(ToolName tool);
QString title(ToolName tool);   // "Take Screenshot"
QString summary(ToolName tool); // "Capture the current screen"
// The parameters the tool is defined with, in definition order ("path", "content").
QStringList parameterNames(ToolName tool);

// The function definitions sent to the engine as "tools", built fresh on every call.
QJsonArray toolDefinitions();

} // namespace Tools
