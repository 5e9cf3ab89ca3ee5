#include "tools/ToolExecutor.h"

#include "tools/AppleScriptExecutor.h"
#include "tools/FileActions.h"
#include "tools/LocalModels.h"
#include "tools/Screenshot.h"
#include "tools/ToolName.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace ToolExecutor {

namespace {

QString clipboardText()
{
    const QMimeData *contents = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    if (!contents || !contents->hasText())
        return QStringLiteral("(empty clipboard)");
    return contents->text();
}

void setClipboardText(const QString &text)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear(QClipboard::Clipboard);
    clipboard->setText(text, QClipboard::Clipboard);
}

QString doneOrError(const std::optional<ActionError> &error, const QString &done)
{
    return error ? errorText(*error) : done;
}

} // namespace

QCoro::Task<QString> execute(ToolCall call)
{
    co_return co_await execute(ToolCallResolver::resolve(call));
}

bool isFailure(const QString &result)
{
    static const QStringList failures{
        QStringLiteral("Error: "),           QStringLiteral("Missing '"),
        QStringLiteral("Unknown tool: "),    QStringLiteral("Screenshot failed: "),
        QStringLiteral("No display found"),  QStringLiteral("Screenshot encoding failed"),
    };
    return std::any_of(failures.begin(), failures.end(),
                       [&](const QString &start) { return result.startsWith(start); });
}

QCoro::Task<QString> execute(ResolvedAction action)
{
    const std::optional<ToolName> tool = action.tool;
    if (!tool)
        co_return QStringLiteral("Unknown tool: ") + action.call.name;
    if (!action.refusal.isEmpty())
        co_return action.refusal;

    // A key that is present counts even with an empty value.
    const auto has = [&](const char *key) { return action.argument(QString::fromLatin1(key)) != nullptr; };
    const auto resolved = [&](const char *key) { return *action.argument(QString::fromLatin1(key)); };
    const auto argument = [&](const char *key) { return resolved(key).value; };
    const QString missingPath = QStringLiteral("Missing 'path' argument");

    switch (*tool) {
    case ToolName::takeScreenshot:
        co_return co_await Screenshot::takeScreenshot();
    case ToolName::readFile:
        if (!has("path"))
            co_return missingPath;
        co_return resultText(FileActions::readFile(resolved("path")));
    case ToolName::writeFile:
        if (!has("path") || !has("content"))
            co_return QStringLiteral("Missing 'path' or 'content' argument");
        co_return doneOrError(FileActions::writeFile(argument("content"), resolved("path")),
                              QStringLiteral("File written successfully to ") + resolved("path").given);
    case ToolName::listFiles:
        if (!has("directory"))
            co_return QStringLiteral("Missing 'directory' argument");
        co_return resultText(FileActions::listFiles(resolved("directory")));
    case ToolName::deleteFile:
        if (!has("path"))
            co_return missingPath;
        co_return doneOrError(FileActions::trashFile(resolved("path")),
                              QStringLiteral("Moved to Trash: ") + resolved("path").given);
    case ToolName::openApp:
        if (!has("app_name"))
            co_return QStringLiteral("Missing 'app_name' argument");
        co_return AppleScriptExecutor::openApp(argument("app_name"));
    case ToolName::closeApp:
        if (!has("app_name"))
            co_return QStringLiteral("Missing 'app_name' argument");
        co_return AppleScriptExecutor::closeApp(argument("app_name"), action.processesToEnd);
    case ToolName::listOpenApps:
        co_return AppleScriptExecutor::listRunningApps();
    case ToolName::getSystemInfo:
        co_return AppleScriptExecutor::systemInfo();
    case ToolName::getClipboard:
        co_return clipboardText();
    case ToolName::setClipboard:
        if (!has("text"))
            co_return QStringLiteral("Missing 'text' argument");
        setClipboardText(argument("text"));
        co_return QStringLiteral("Clipboard set");
    case ToolName::listLocalModels:
        co_return LocalModels::listLocalModels();
    case ToolName::downloadModel:
        co_return QStringLiteral("Use the Models tab to download models from HuggingFace.");
    case ToolName::setActiveModel:
        co_return QStringLiteral("Use the Models tab to load a model.");
    }
    co_return QStringLiteral("Unknown tool: ") + action.call.name;
}

} // namespace ToolExecutor
