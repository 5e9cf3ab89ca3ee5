#include "tools/AppleScriptExecutor.h"

#include "tools/ClientWindow.h"
#include "tools/DesktopEntry.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

namespace AppleScriptExecutor {

namespace {

enum class Command { activate, quit };

struct Script
{
    QString application;
    Command command;
};

ActionError scriptError(const QString &description)
{
    return {QStringLiteral("AppleScript"), -1, description};
}

// Compiles the only two sentences the service speaks. Keywords ignore letter case; the name is
// everything between the quotes, so a name holding a quote leaves stray text and fails.
std::variant<Script, ActionError> compile(const QString &source)
{
    static const QRegularExpression grammar(
        QString::fromLatin1(R"re(^\s*tell\s+application\s+"([^"]*)"\s+to\s+(activate|quit)\s*$)re"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = grammar.match(source);
    if (!match.hasMatch())
        return scriptError(QStringLiteral("Syntax error: expected tell application \"NAME\" to activate "
                                          "or tell application \"NAME\" to quit, found: ")
                           + source);
    const bool quit = match.captured(2).compare(QLatin1String("quit"), Qt::CaseInsensitive) == 0;
    return Script{match.captured(1), quit ? Command::quit : Command::activate};
}

QList<UserProcess> processesOf(const DesktopEntry &entry)
{
    QList<UserProcess> matching;
    for (const UserProcess &process : UserProcess::running()) {
        if (process.belongsTo(entry))
            matching.append(process);
    }
    return matching;
}

// The processes quitting ends: only those owning a window the desktop shows as the entry's, so a
// process that merely shares the program (a helper, another application) is left alone.
QList<UserProcess> processesToQuit(const DesktopEntry &entry)
{
    QList<UserProcess> processes = processesOf(entry);
    const std::optional<QList<ClientWindow>> windows = ClientWindow::listed();
    // No X server or no window manager list: the program and its arguments alone decide.
    if (!windows)
        return processes;
    processes.removeIf([&](const UserProcess &process) {
        return std::none_of(windows->begin(), windows->end(), [&](const ClientWindow &window) {
            return window.pid == process.pid && entry.ownsWindowClass(window.instance, window.windowClass);
        });
    });
    return processes;
}

std::optional<ActionError> activate(const DesktopEntry &entry, const QString &name)
{
    // Activating an application that already runs leaves it running rather than starting a
    // second copy.
    if (!processesOf(entry).isEmpty())
        return std::nullopt;
    const QString directory = entry.workingDirectory.isEmpty() ? QDir::homePath() : entry.workingDirectory;
    if (!QProcess::startDetached(entry.command, entry.arguments, directory))
        return scriptError(QStringLiteral("Application \"%1\" could not be started").arg(name));
    return std::nullopt;
}

void quit(const QList<UserProcess> &processes)
{
    // Quitting an application that is not running succeeds without doing anything.
    for (const UserProcess &process : processes)
        process.terminate();
}

QString scriptText(const QString &name, const char *command)
{
    // The name goes in as given; a quote in it makes a script that does not compile.
    return QStringLiteral("tell application \"") + name + QStringLiteral("\" to ") + QLatin1String(command);
}

// Runs the script; quitting ends the planned processes, or, without a plan, those found now.
TextResult runScript(const QString &source, const QList<UserProcess> *planned)
{
    if (source.contains(QChar(u'\0')))
        return scriptError(QStringLiteral("Could not create script"));
    const auto compiled = compile(source);
    if (const auto *error = std::get_if<ActionError>(&compiled))
        return *error;
    const Script &script = std::get<Script>(compiled);

    const std::optional<DesktopEntry> entry = DesktopEntry::find(script.application);
    if (!entry)
        return scriptError(QStringLiteral("Application \"%1\" is not installed").arg(script.application));
    if (script.command == Command::quit) {
        quit(planned ? *planned : processesToQuit(*entry));
    } else if (auto error = activate(*entry, script.application)) {
        return *error;
    }
    return QString();
}

// Runs one command on NAME; the script's own result is not shown, only whether it worked.
QString runForApplication(const QString &name, const char *command, const QString &donePrefix,
                          const QList<UserProcess> *planned = nullptr)
{
    const TextResult result = runScript(scriptText(name, command), planned);
    if (const auto *error = std::get_if<ActionError>(&result))
        return errorText(*error);
    return donePrefix + name;
}

} // namespace

TextResult runAppleScript(const QString &source)
{
    return runScript(source, nullptr);
}

QuitPlan planQuit(const QString &name)
{
    const std::optional<DesktopEntry> entry = DesktopEntry::find(name);
    if (!entry)
        return {{}, QStringLiteral("No installed application is named %1; nothing will be ended").arg(name)};
    const QList<UserProcess> processes = processesToQuit(*entry);
    if (processes.isEmpty())
        return {{}, QStringLiteral("%1 is not running; nothing will be ended").arg(entry->name)};
    QStringList named;
    for (const UserProcess &process : processes)
        named.append(QStringLiteral("%1 (%2)").arg(QFileInfo(process.program).fileName()).arg(process.pid));
    return {processes, QStringLiteral("Ends %1 %2: %3")
                           .arg(processes.size())
                           .arg(processes.size() == 1 ? QStringLiteral("process") : QStringLiteral("processes"),
                                named.join(QStringLiteral(", ")))};
}

QString openApp(const QString &name)
{
    return runForApplication(name, "activate", QStringLiteral("Opened "));
}

QString closeApp(const QString &name, const QList<UserProcess> &planned)
{
    return runForApplication(name, "quit", QStringLiteral("Closed "), &planned);
}

} // namespace AppleScriptExecutor
