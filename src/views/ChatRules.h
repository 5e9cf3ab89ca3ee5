#pragma once

#include <QObject>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

class AgentState;

// The decisions of the chat view and its bubbles, as plain functions the QML calls.
class ChatRules : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    static constexpr int attachmentCharacterLimit = 4000;
    // Larger dropped files are not read at all: only their name is attached.
    static constexpr qint64 attachmentReadLimit = 32 * 1024 * 1024;
    static const QStringList textFileExtensions;
    static const QStringList imageDataPrefixes;

    // Tool results and the model's bare tool-call lines are bookkeeping, not conversation.
    Q_INVOKABLE static bool shouldHide(const QString &role, const QString &content);
    Q_INVOKABLE static bool isErrorReply(const QString &role, const QString &content);
    Q_INVOKABLE static bool canSend(const QString &inputText, bool isLoading);
    Q_INVOKABLE static QString shortModelName(const QString &name);
    // The empty state's subtitle names the desktop the app runs on.
    Q_INVOKABLE static QString emptyStateSubtitle();
    // True when no message other than tool results or system lines exists.
    Q_INVOKABLE static bool isConversationEmpty(QObject *agentState);

    // "image" when the content is a data-URL image whose Base64 decodes, otherwise "text".
    Q_INVOKABLE static QString contentKind(const QString &content);
    // image://dataurl/… for a data-URL image; the bytes are kept for the image provider.
    Q_INVOKABLE QUrl imageSource(const QString &content) const;

    // A line's inline Markdown (strong, emphasis, strikethrough, code, links) as rich text.
    Q_INVOKABLE static QString inlineMarkdownHtml(const QString &text);
    // Opens a link of a reply when it is a web or mail address; false (nothing opened) otherwise.
    Q_INVOKABLE static bool openLink(const QString &url);
    // Code as shown and copied: without leading and trailing line breaks.
    Q_INVOKABLE static QString trimLineBreaks(const QString &text);
    // Clears the clipboard, then puts the text on it.
    Q_INVOKABLE static void copyToClipboard(const QString &text);

    // The input text after dropping these files: text files inline in a fence, others by name.
    Q_INVOKABLE static QString attachDroppedFiles(const QString &inputText, const QList<QUrl> &urls);
    static QString attachDroppedFile(const QString &inputText, const QString &path);

    // The active session's own system prompt, empty when it uses the global one.
    Q_INVOKABLE static QString sessionPromptOverride(QObject *agentState);
    // Sets it; blank text goes back to the global prompt.
    Q_INVOKABLE static void setSessionPromptOverride(QObject *agentState, const QString &prompt);

    // Cuts the conversation before the edited user message, saves, and returns its text for the
    // input box; null when the message is gone or a turn is running (it writes into this list).
    Q_INVOKABLE static QVariant editMessage(QObject *agentState, const QString &messageId);
    // Cuts the conversation before the user message that led to this error reply, saves, and
    // returns that message's text to send again; null when there is none or a turn is running.
    Q_INVOKABLE static QVariant retryMessage(QObject *agentState, const QString &messageId);
};
