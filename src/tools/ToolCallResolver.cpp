#include "tools/ToolCallResolver.h"

#include "tools/AppleScriptExecutor.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>

#include <pwd.h>

namespace {

const QString homeMark = QStringLiteral("~");

bool isInvisible(char32_t c)
{
    switch (QChar::category(c)) {
    case QChar::Other_Control:       // C0, DEL, C1: line feed, tab, escape, …
    case QChar::Other_Format:        // bidi overrides and isolates, zero-width characters, BOM
    case QChar::Other_Surrogate:     // half a character
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

// The arguments each tool reads; the two that only point to the Models tab read none.
QStringList readArguments(ToolName tool)
{
    if (tool == ToolName::downloadModel || tool == ToolName::setActiveModel)
        return {};
    return Tools::parameterNames(tool);
}

// Of the arguments a tool reads, these two are always paths.
bool isPathArgument(const QString &name)
{
    return name == QLatin1String("path") || name == QLatin1String("directory");
}

struct PathResult
{
    QString path;
    QString refusal;
};

// The home folder of "~" or "~user", or none for a user the system does not know.
std::optional<QString> homeOf(const QString &user)
{
    if (user.isEmpty())
        return QDir::homePath();
    const QByteArray name = user.toLocal8Bit();
    const passwd *entry = ::getpwnam(name.constData());
    if (!entry || !entry->pw_dir)
        return std::nullopt;
    return QString::fromLocal8Bit(entry->pw_dir);
}

// Steps through the parts as the system does when it opens the path: a link met on the way is
// replaced by the place it points to before ".." is applied, so "a/link/../b" ends up beside
// the link's target, not beside the link.
PathResult resolvePath(const QString &given, bool followLast)
{
    if (given.isEmpty())
        return {{}, QStringLiteral("Error: The path is empty")};
    if (ToolCallResolver::hasInvisibleCharacters(given))
        return {{}, QStringLiteral("Error: The path holds control or invisible characters: ")
                        + ToolCallResolver::visibleText(given)};

    QString absolute = given;
    if (given.startsWith(homeMark)) {
        const qsizetype slash = given.indexOf(QLatin1Char('/'));
        const QString user = given.mid(1, slash < 0 ? -1 : slash - 1);
        const std::optional<QString> home = homeOf(user);
        if (!home)
            return {{}, QStringLiteral("Error: No user named ") + user + QStringLiteral(" for the path ") + given};
        absolute = *home + (slash < 0 ? QString() : given.mid(slash));
    } else if (!given.startsWith(QLatin1Char('/'))) {
        absolute = QDir::homePath() + QLatin1Char('/') + given;
    }

    const QStringList parts = absolute.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString current = QStringLiteral("/");
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString &part = parts.at(i);
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            current = QFileInfo(current).path();
            continue;
        }
        current = current == QLatin1String("/") ? current + part : current + QLatin1Char('/') + part;
        const QFileInfo entry(current);
        if (!entry.isSymLink() || (i == parts.size() - 1 && !followLast))
            continue;
        const QString target = entry.canonicalFilePath();
        if (!target.isEmpty())
            current = target;
        else if (i < parts.size() - 1) // the system would stop here too: the link leads nowhere
            return {{}, QStringLiteral("Error: The path goes through a link that leads nowhere: ") + given};
    }
    return {current, {}};
}

QString formatted(qint64 number)
{
    return QLocale(QLocale::English).toString(number);
}

QString fileNote(ToolName tool, const QString &path)
{
    const QFileInfo target(path);
    switch (tool) {
    case ToolName::writeFile:
        if (target.isSymLink())
            return QStringLiteral("Replaces a link (what it points to is left alone)");
        if (target.isDir())
            return QStringLiteral("A folder is at this path; nothing will be written");
        if (target.exists())
            return QStringLiteral("Replaces an existing file (%1 bytes)").arg(formatted(target.size()));
        return QStringLiteral("Creates a new file");
    case ToolName::deleteFile:
        return QStringLiteral("Moves to Trash");
    default:
        return {};
    }
}

QVariantMap row(const QString &icon, const QString &tint, const QString &label, const QString &value)
{
    return {{QStringLiteral("icon"), icon},
            {QStringLiteral("tint"), tint},
            {QStringLiteral("label"), label},
            {QStringLiteral("value"), ToolCallResolver::visibleText(value)},
            {QStringLiteral("sizeLine"), ToolCallResolver::sizeLine(value)}};
}

QString argumentIcon(const QString &argumentName)
{
    const QString name = argumentName.toLower();
    if (name == QLatin1String("path") || name == QLatin1String("directory"))
        return QStringLiteral("folder");
    if (name == QLatin1String("content"))
        return QStringLiteral("doc.text");
    if (name == QLatin1String("app_name") || name == QLatin1String("name"))
        return QStringLiteral("app.badge");
    if (name == QLatin1String("text"))
        return QStringLiteral("text.quote");
    return QStringLiteral("chevron.right");
}

// Each space-separated word with its first letter upper-cased and the rest lower-cased.
QString argumentLabel(const QString &argumentName)
{
    QStringList words = argumentName.split(QLatin1Char(' '));
    for (QString &word : words)
        if (!word.isEmpty())
            word = word.left(1).toUpper() + word.mid(1).toLower();
    return words.join(QLatin1Char(' '));
}

} // namespace

const ResolvedArgument *ResolvedAction::argument(const QString &name) const
{
    for (const ResolvedArgument &argument : arguments)
        if (argument.name == name)
            return &argument;
    return nullptr;
}

QVariantMap ResolvedAction::card() const
{
    QVariantList rows{row(QStringLiteral("wrench.and.screwdriver.fill"), QStringLiteral("blue"),
                          QStringLiteral("Action"), tool ? Tools::title(*tool) : call.name)};
    for (const ResolvedArgument &argument : arguments)
        rows.append(row(argumentIcon(argument.name), QStringLiteral("secondary"), argumentLabel(argument.name),
                        argument.value));
    // Ignored arguments keep their exact names, so "Path" is never mistaken for "path".
    QVariantList ignoredRows;
    for (auto it = ignored.cbegin(); it != ignored.cend(); ++it)
        ignoredRows.append(row(QStringLiteral("chevron.right"), QStringLiteral("secondary"), it.key(), it.value()));
    return {{QStringLiteral("rows"), rows},
            {QStringLiteral("ignored"), ignoredRows},
            {QStringLiteral("notes"), notes},
            {QStringLiteral("description"), tool ? Tools::summary(*tool) : QString()}};
}

ToolCall ResolvedAction::recorded(ToolStatus status, const QString &result) const
{
    ToolCall kept = call;
    for (const ResolvedArgument &argument : arguments)
        kept.arguments.insert(argument.name, argument.value);
    kept.status = status;
    kept.result = result;
    return kept;
}

namespace ToolCallResolver {

ResolvedAction resolve(const ToolCall &call)
{
    ResolvedAction action{call, Tools::toolNameFrom(call.name), {}, {}, {}, {}, {}};
    const QStringList reads = action.tool ? readArguments(*action.tool) : QStringList();
    for (auto it = call.arguments.cbegin(); it != call.arguments.cend(); ++it) {
        if (!reads.contains(it.key())) {
            action.ignored.insert(it.key(), it.value());
            continue;
        }
        ResolvedArgument argument{it.key(), it.value(), it.value(), isPathArgument(it.key())};
        if (argument.isPath) {
            const bool reading = *action.tool == ToolName::readFile || *action.tool == ToolName::listFiles;
            const PathResult path = resolvePath(it.value(), reading);
            if (!path.refusal.isEmpty() && action.refusal.isEmpty())
                action.refusal = path.refusal;
            argument.value = path.path;
            if (path.refusal.isEmpty())
                if (const QString note = fileNote(*action.tool, path.path); !note.isEmpty())
                    action.notes.append(note);
        }
        action.arguments.append(argument);
    }
    if (action.tool == ToolName::closeApp) {
        if (const ResolvedArgument *name = action.argument(QStringLiteral("app_name"))) {
            AppleScriptExecutor::QuitPlan plan = AppleScriptExecutor::planQuit(name->value);
            action.notes.append(plan.preview);
            action.processesToEnd = std::move(plan.processes);
        }
    }
    return action;
}

bool hasInvisibleCharacters(const QString &text)
{
    const QList<uint> codePoints = text.toUcs4();
    return std::any_of(codePoints.begin(), codePoints.end(), [](uint c) { return isInvisible(c); });
}

QString visibleText(const QString &text)
{
    if (!hasInvisibleCharacters(text))
        return text;
    QString shown;
    for (const uint c : text.toUcs4()) {
        if (c == '\n')
            shown += QStringLiteral("⏎\n");
        else if (c == '\t')
            shown += QStringLiteral("⇥\t");
        else if (!isInvisible(c))
            shown += QString::fromUcs4(reinterpret_cast<const char32_t *>(&c), 1);
        else if (c > 0xFFFF)
            shown += QStringLiteral("\\U") + QString::number(c, 16).toUpper().rightJustified(8, QLatin1Char('0'));
        else
            shown += QStringLiteral("\\u") + QString::number(c, 16).toUpper().rightJustified(4, QLatin1Char('0'));
    }
    return shown;
}

QString sizeLine(const QString &text)
{
    constexpr qsizetype longValue = 80;
    const qsizetype characters = text.toUcs4().size();
    const qsizetype lines = text.count(QLatin1Char('\n')) + 1;
    if (characters <= longValue && lines == 1)
        return {};
    return QStringLiteral("%1 %2, %3 %4")
        .arg(formatted(characters), characters == 1 ? QStringLiteral("character") : QStringLiteral("characters"),
             formatted(lines), lines == 1 ? QStringLiteral("line") : QStringLiteral("lines"));
}

} // namespace ToolCallResolver
