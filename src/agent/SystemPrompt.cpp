#include "agent/SystemPrompt.h"

#include <QSet>

namespace SystemPrompt {

namespace {

const QLatin1StringView toolCallPrefix("TOOL_CALL:");
const QLatin1StringView clipboardPrefix("The clipboard");

// Leaked instruction and result lines, checked in this order.
const QLatin1StringView echoedPrefixes[] = {
    QLatin1StringView("System tools available"), QLatin1StringView("You have tools:"),
    QLatin1StringView("TOOLS:"),                 QLatin1StringView("Available tools:"),
    QLatin1StringView("To call a tool"),         QLatin1StringView("Call syntax"),
    QLatin1StringView("Home dir:"),              QLatin1StringView("Dir:"),
    QLatin1StringView("Tool results:"),          QLatin1StringView("Moved to Trash:"),
    QLatin1StringView("File written successfully"), QLatin1StringView("You have confirmed"),
    QLatin1StringView("I have confirmed"),
};

const QLatin1StringView echoedToolPrefixes[] = {
    QLatin1StringView("Clipboard:"),   QLatin1StringView("get_clipboard"),
    QLatin1StringView("set_clipboard"), QLatin1StringView("Tool result:"),
    QLatin1StringView("Tool output:"),
};

const QSet<QString> &echoToolNameSet()
{
    static const QSet<QString> names(echoToolNames().begin(), echoToolNames().end());
    return names;
}

// A bracketed name longer than every echo name cannot be one; this keeps the check bounded.
qsizetype longestEchoToolName()
{
    static const qsizetype longest = [] {
        qsizetype n = 0;
        for (const QString &name : echoToolNames())
            n = std::max(n, name.size());
        return n;
    }();
    return longest;
}

bool startsWithAny(QStringView t, const auto &prefixes)
{
    for (const QLatin1StringView prefix : prefixes)
        if (t.startsWith(prefix))
            return true;
    return false;
}

} // namespace

QStringView trimSpacesAndTabs(QStringView line)
{
    qsizetype begin = 0;
    qsizetype end = line.size();
    while (begin < end && isSpaceOrTab(line[begin]))
        ++begin;
    while (end > begin && isSpaceOrTab(line[end - 1]))
        --end;
    return line.sliced(begin, end - begin);
}

bool isSpaceOrTab(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

const QString &toolInstructionBlock()
{
    // One literal per line of the block, so each reads exactly as the model sees it.
    static const QString block = QStringLiteral("\n")
        + QStringLiteral("For explicit system actions only (open app, read/write file, etc.) output exactly one line: TOOL_CALL: {\"name\":\"toolname\",\"arguments\":{\"key\":\"value\"}}")
        + QStringLiteral("\n")
        + QStringLiteral("Tools: list_files, read_file, write_file, delete_file, take_screenshot, open_app, close_app, list_open_apps, get_system_info, get_clipboard, set_clipboard")
        + QStringLiteral("\n")
        + QStringLiteral("NEVER call tools to answer questions. NEVER include tool names, clipboard contents, file paths, or system info in a normal reply.");
    return block;
}

const QStringList &echoToolNames()
{
    static const QStringList names = {
        QStringLiteral("user_info"),       QStringLiteral("list_files"),
        QStringLiteral("read_file"),       QStringLiteral("write_file"),
        QStringLiteral("delete_file"),     QStringLiteral("take_screenshot"),
        QStringLiteral("open_app"),        QStringLiteral("close_app"),
        QStringLiteral("list_open_apps"),  QStringLiteral("get_system_info"),
        QStringLiteral("get_clipboard"),   QStringLiteral("set_clipboard"),
        QStringLiteral("list_local_models"), QStringLiteral("download_model"),
        QStringLiteral("set_active_model"), QStringLiteral("search_web"),
    };
    return names;
}

QString compose(const Inputs &inputs)
{
    QString prompt = inputs.sessionPromptOverride.value_or(inputs.systemPrompt);
    if (!inputs.userName.isEmpty())
        prompt += QStringLiteral(" The user's name is ") + inputs.userName + QLatin1Char('.');
    if (inputs.responseStyle == QLatin1String("concise"))
        prompt += QStringLiteral(" Be concise and direct.");
    else if (inputs.responseStyle == QLatin1String("detailed"))
        prompt += QStringLiteral(" Be thorough and detailed.");
    // On macOS the home line is "/Users/" followed by the login name; elsewhere that folder does
    // not exist, so the caller passes the real home folder and the model is sent to paths that work.
    prompt += QStringLiteral("\n\nHome: ") + inputs.home;
    prompt += toolInstructionBlock();
    return prompt;
}

bool isDisplayable(const LineFacts &facts)
{
    const QStringView t = facts.trimmed;
    if (t.startsWith(toolCallPrefix) || t == QLatin1String("---"))
        return false;
    if (startsWithAny(t, echoedPrefixes))
        return false;
    if (t.startsWith(clipboardPrefix) && facts.mentionsEmptyOrContains)
        return false;
    if (startsWithAny(t, echoedToolPrefixes))
        return false;
    if (t.startsWith(QLatin1Char('[')) && facts.firstCloseBracket >= 0) {
        const qsizetype close = facts.firstCloseBracket;
        const bool colonFollows = close + 1 < t.size() && t[close + 1] == QLatin1Char(':');
        const qsizetype nameLength = close - 1;
        if (colonFollows && nameLength <= longestEchoToolName()
            && echoToolNameSet().contains(t.sliced(1, nameLength).toString()))
            return false;
    }
    return true;
}

bool isDisplayableLine(QStringView line)
{
    const QStringView t = trimSpacesAndTabs(line);
    return isDisplayable({t, t.indexOf(QLatin1Char(']')),
                          t.contains(QLatin1String("empty")) || t.contains(QLatin1String("contains"))});
}

QString sanitizeReply(const QString &text)
{
    QStringList kept;
    for (const QStringView line : QStringView(text).split(QLatin1Char('\n')))
        if (isDisplayableLine(line))
            kept.append(line.toString());
    return kept.join(QLatin1Char('\n')).trimmed();
}

} // namespace SystemPrompt
