#include "ChatRules.h"

#include "DataUrlImageProvider.h"
#include "InlineMarkdown.h"
#include "conversation/AgentState.h"
#include "conversation/Identifiers.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QUrl>
#include <algorithm>
#include <QFile>
#include <QGuiApplication>
#include <QFileInfo>
#include <QQmlEngine>
#include <QStringDecoder>
#include <QTextBoundaryFinder>

const QStringList ChatRules::textFileExtensions = {
    QStringLiteral("txt"),  QStringLiteral("md"),   QStringLiteral("swift"), QStringLiteral("py"),
    QStringLiteral("js"),   QStringLiteral("ts"),   QStringLiteral("json"),  QStringLiteral("csv"),
    QStringLiteral("html"), QStringLiteral("css"),  QStringLiteral("xml"),   QStringLiteral("yaml"),
    QStringLiteral("yml"),  QStringLiteral("sh"),   QStringLiteral("rb"),    QStringLiteral("go"),
    QStringLiteral("rs"),   QStringLiteral("c"),    QStringLiteral("cpp"),   QStringLiteral("h"),
    QStringLiteral("java"), QStringLiteral("kt"),   QStringLiteral("sql"),   QStringLiteral("log"),
    QStringLiteral("toml"), QStringLiteral("ini"),  QStringLiteral("cfg"),
};

const QStringList ChatRules::imageDataPrefixes = {
    QStringLiteral("data:image/jpeg;base64,"),
    QStringLiteral("data:image/png;base64,"),
};

namespace {

const QString dataUrlProvider = QStringLiteral("dataurl");


// Grapheme clusters, so an emoji or an accented letter counts as one character.
QList<qsizetype> graphemeBoundaries(const QString &text, qsizetype stopAfter)
{
    QList<qsizetype> boundaries;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    while (finder.toNextBoundary() >= 0 && boundaries.size() <= stopAfter)
        boundaries.append(finder.position());
    return boundaries;
}

qsizetype graphemeCount(const QString &text)
{
    qsizetype count = 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    while (finder.toNextBoundary() >= 0)
        ++count;
    return count;
}

std::optional<QString> readUtf8(const QString &path)
{
    QFile file(path);
    if (file.size() > ChatRules::attachmentReadLimit || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

qsizetype indexOfMessage(const AgentState *state, const QString &messageId)
{
    const QUuid id = Identifiers::parseUuid(messageId);
    const auto &messages = state->messages();
    for (qsizetype i = 0; i < messages.size(); ++i)
        if (messages.at(i).id == id)
            return i;
    return -1;
}

} // namespace

bool ChatRules::shouldHide(const QString &role, const QString &content)
{
    // Runs on every streamed fragment of a long reply: scan in place, copy nothing.
    const bool blank = std::all_of(content.cbegin(), content.cend(), [](QChar c) { return c.isSpace(); });
    if (blank || role == Roles::toolResult || role == Roles::system)
        return true;
    if (role == Roles::user
        && (content.startsWith(QLatin1String("Tool results:"))
            || content.startsWith(QLatin1String("Briefly confirm what was done"))))
        return true;
    if (content.contains(QStringLiteral("⚠️ No model loaded")))
        return true;
    if (role != Roles::assistant)
        return false;
    for (QStringView line : QStringView(content).tokenize(u'\n', Qt::SkipEmptyParts)) {
        qsizetype start = 0;
        while (start < line.size() && (line.at(start) == u' ' || line.at(start) == u'\t'))
            ++start;
        if (start == line.size())
            continue;
        if (!line.mid(start).startsWith(QLatin1String("TOOL_CALL:")))
            return false;
    }
    return true;
}

bool ChatRules::isErrorReply(const QString &role, const QString &content)
{
    return role == Roles::assistant && content.startsWith(QLatin1String("Error:"));
}

bool ChatRules::canSend(const QString &inputText, bool isLoading)
{
    return !inputText.trimmed().isEmpty() && !isLoading;
}

QString ChatRules::shortModelName(const QString &name)
{
    const QStringList parts = name.split(QLatin1Char(' '));
    if (parts.size() < 5)
        return name;
    return QStringList(parts.mid(0, 3)).join(QLatin1Char(' ')) + QLatin1Char(' ') + parts.last();
}

QString ChatRules::emptyStateSubtitle()
{
#ifdef Q_OS_MACOS
    return QStringLiteral("Your intelligent macOS assistant");
#else
    return QStringLiteral("Your intelligent Linux assistant");
#endif
}

bool ChatRules::isConversationEmpty(QObject *agentState)
{
    const auto *state = qobject_cast<AgentState *>(agentState);
    if (!state)
        return true;
    for (const Message &message : state->messages())
        if (message.role != Roles::toolResult && message.role != Roles::system)
            return false;
    return true;
}

QString ChatRules::contentKind(const QString &content)
{
    return DataUrlImageProvider::decode(content) ? QStringLiteral("image") : QStringLiteral("text");
}

QUrl ChatRules::imageSource(const QString &content) const
{
    if (QQmlEngine *engine = qmlEngine(this); engine && !engine->imageProvider(dataUrlProvider))
        engine->addImageProvider(dataUrlProvider, new DataUrlImageProvider);
    const QString key = DataUrlImageProvider::store(content);
    if (key.isEmpty())
        return {};
    return QUrl(QStringLiteral("image://%1/%2").arg(dataUrlProvider, key));
}

QString ChatRules::inlineMarkdownHtml(const QString &text)
{
    return InlineMarkdown::toHtml(text);
}

bool ChatRules::openLink(const QString &url)
{
    return InlineMarkdown::canOpen(url) && QDesktopServices::openUrl(QUrl(url, QUrl::StrictMode));
}

QString ChatRules::trimLineBreaks(const QString &text)
{
    qsizetype start = 0;
    qsizetype end = text.size();
    auto lineBreak = [](QChar c) { return c == QLatin1Char('\n') || c == QLatin1Char('\r'); };
    while (start < end && lineBreak(text.at(start)))
        ++start;
    while (end > start && lineBreak(text.at(end - 1)))
        --end;
    return text.mid(start, end - start);
}

void ChatRules::copyToClipboard(const QString &text)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(text);
}

QString ChatRules::attachDroppedFiles(const QString &inputText, const QList<QUrl> &urls)
{
    QString result = inputText;
    for (const QUrl &url : urls)
        if (url.isLocalFile())
            result = attachDroppedFile(result, url.toLocalFile());
    return result;
}

QString ChatRules::attachDroppedFile(const QString &inputText, const QString &path)
{
    const QFileInfo info(path);
    std::optional<QString> text;
    if (textFileExtensions.contains(info.suffix().toLower()))
        text = readUtf8(path);
    if (!text)
        return inputText + (inputText.isEmpty() ? QString() : QStringLiteral(" ")) + info.fileName();

    const QList<qsizetype> boundaries = graphemeBoundaries(*text, attachmentCharacterLimit);
    if (boundaries.size() > attachmentCharacterLimit) {
        const qsizetype cut = boundaries.at(attachmentCharacterLimit - 1);
        const qsizetype removed = graphemeCount(text->mid(cut));
        *text = text->left(cut) + QStringLiteral("\n\n[File truncated — ") + QString::number(removed)
            + QStringLiteral(" more characters]");
    }
    return inputText + (inputText.isEmpty() ? QString() : QStringLiteral("\n"))
        + QStringLiteral("Contents of ") + info.fileName() + QStringLiteral(":\n```\n") + *text
        + QStringLiteral("\n```");
}

QString ChatRules::sessionPromptOverride(QObject *agentState)
{
    const auto *state = qobject_cast<AgentState *>(agentState);
    const auto session = state ? state->activeSession() : std::nullopt;
    return session ? session->systemPromptOverride.value_or(QString()) : QString();
}

void ChatRules::setSessionPromptOverride(QObject *agentState, const QString &prompt)
{
    if (auto *state = qobject_cast<AgentState *>(agentState))
        state->setActiveSessionSystemPromptOverride(prompt.trimmed().isEmpty() ? std::nullopt
                                                                               : std::optional<QString>(prompt));
}

QVariant ChatRules::editMessage(QObject *agentState, const QString &messageId)
{
    auto *state = qobject_cast<AgentState *>(agentState);
    const qsizetype index = state ? indexOfMessage(state, messageId) : -1;
    if (index < 0)
        return {};
    const QString content = state->messages().at(index).content;
    if (!state->truncateMessages(index))
        return {};
    state->save();
    return content;
}

QVariant ChatRules::retryMessage(QObject *agentState, const QString &messageId)
{
    auto *state = qobject_cast<AgentState *>(agentState);
    const qsizetype index = state ? indexOfMessage(state, messageId) : -1;
    if (index < 0)
        return {};
    for (qsizetype i = index - 1; i >= 0; --i) {
        const Message &candidate = state->messages().at(i);
        if (candidate.role != Roles::user)
            continue;
        const QString content = candidate.content;
        if (!state->truncateMessages(i))
            return {};
        state->save();
        return content;
    }
    return {};
}
