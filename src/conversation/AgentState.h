#pragma once

#include "conversation/ChatSession.h"
#include "conversation/DefaultsStore.h"
#include "conversation/ToolCall.h"

#include <QObject>
#include <QPointer>
#include <QVariantMap>
#include <qcorotask.h>
#include <functional>
#include <optional>

class ArchiveStore;
class ApprovalRequest;

// The one observable store of the conversation on screen: the working copy of the active
// session's messages, the stored sessions, the turn's live figures, the approval gate and the
// persisted generation settings. Lives on the GUI thread for the whole run.
class AgentState : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int messageCount READ messageCount NOTIFY messagesChanged)
    Q_PROPERTY(bool isLoading READ isLoading WRITE setIsLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(QString systemPrompt READ systemPrompt WRITE setSystemPrompt NOTIFY systemPromptChanged)
    Q_PROPERTY(double temperature READ temperature WRITE setTemperature NOTIFY temperatureChanged)
    Q_PROPERTY(int maxTokens READ maxTokens WRITE setMaxTokens NOTIFY maxTokensChanged)
    Q_PROPERTY(QVariantMap pendingApproval READ pendingApprovalMap NOTIFY pendingApprovalChanged)
    Q_PROPERTY(bool hasPendingApproval READ hasPendingApproval NOTIFY pendingApprovalChanged)
    Q_PROPERTY(QString currentStreamingContent READ currentStreamingContent WRITE setCurrentStreamingContent NOTIFY currentStreamingContentChanged)
    Q_PROPERTY(int sessionCount READ sessionCount NOTIFY chatSessionsChanged)
    Q_PROPERTY(QString activeSessionID READ activeSessionIDText NOTIFY activeSessionIDChanged)
    Q_PROPERTY(QString activeSessionTitle READ activeSessionTitle NOTIFY chatSessionsChanged)
    Q_PROPERTY(QString autoLoadModelPath READ autoLoadModelPathText NOTIFY autoLoadModelChanged)
    Q_PROPERTY(QString autoLoadModelName READ autoLoadModelNameText NOTIFY autoLoadModelChanged)
    Q_PROPERTY(bool historyWasTrimmed READ historyWasTrimmed WRITE setHistoryWasTrimmed NOTIFY historyWasTrimmedChanged)
    Q_PROPERTY(double tokensPerSecond READ tokensPerSecond WRITE setTokensPerSecond NOTIFY tokensPerSecondChanged)
    Q_PROPERTY(bool askBeforeReadingClipboard READ askBeforeReadingClipboard WRITE setAskBeforeReadingClipboard NOTIFY askBeforeReadingClipboardChanged)
    Q_PROPERTY(bool completionSoundEnabled READ completionSoundEnabled WRITE setCompletionSoundEnabled NOTIFY completionSoundEnabledChanged)
    Q_PROPERTY(QString changeBlockedReason READ changeBlockedReason NOTIFY isLoadingChanged)
    // The store's notice for the user, one at a time: "" (none), "saveFailed", "readOnly" or
    // "recovery", with its text and the label of its one action ("" when it has none).
    Q_PROPERTY(QString noticeKind READ noticeKind NOTIFY noticeChanged)
    Q_PROPERTY(QString noticeText READ noticeText NOTIFY noticeChanged)
    Q_PROPERTY(QString noticeAction READ noticeAction NOTIFY noticeChanged)
    Q_PROPERTY(bool noticeDismissable READ noticeDismissable NOTIFY noticeChanged)
    Q_PROPERTY(bool hasUnsavedChanges READ hasUnsavedChanges NOTIFY noticeChanged)

public:
    static const QString defaultSystemPrompt;
    static const QStringList legacyDefaultPrompts;
    static constexpr double defaultTemperature = 0.7;
    static constexpr int defaultMaxTokens = 2048;

    // Loads settings and the stored conversations and activates the first session (or a new
    // one). The archive store may be shared with tests; by default it uses the app's data folder.
    explicit AgentState(QObject *parent = nullptr);
    AgentState(ArchiveStore *archive, QObject *parent);
    ~AgentState() override;

    // --- messages of the active session (the working copy the chat view shows)
    const QList<Message> &messages() const { return m_messages; }
    int messageCount() const { return int(m_messages.size()); }
    void appendMessage(const Message &message);
    // Also mirrored into the active session, like replacing the last message; saves nothing.
    void removeLastMessage();
    void replaceLastMessageContent(const QString &text);
    // Puts another message in the last one's slot (a finished reply, one carrying tool calls)
    // and mirrors it into the active session; saves nothing.
    void replaceLastMessage(const Message &message);
    // replaceLastMessageContent given as an edit of the current text: its first `keep`
    // characters, then `tail`. A streamed reply grows in place this way instead of being
    // copied whole for every fragment.
    void replaceLastMessageContent(qsizetype keep, QStringView tail);

    bool isLoading() const { return m_isLoading; }
    void setIsLoading(bool value);
    QString systemPrompt() const { return m_systemPrompt; }
    void setSystemPrompt(const QString &value);
    double temperature() const { return m_temperature; }
    void setTemperature(double value);
    int maxTokens() const { return m_maxTokens; }
    void setMaxTokens(int value);
    QString currentStreamingContent() const { return m_currentStreamingContent; }
    void setCurrentStreamingContent(const QString &value);
    void appendStreamingContent(const QString &fragment);
    bool historyWasTrimmed() const { return m_historyWasTrimmed; }
    void setHistoryWasTrimmed(bool value);
    double tokensPerSecond() const { return m_tokensPerSecond; }
    void setTokensPerSecond(double value);

    // --- sessions
    // While a turn runs it writes into the conversation on screen, so switching, clearing,
    // cutting or replacing that conversation is refused until the turn has ended.
    bool canChangeConversation() const { return !m_isLoading; }
    // Why such a change is refused now, for the controls that offer it; empty when it is not.
    QString changeBlockedReason() const;
    // Keeps the first `count` messages of the conversation on screen (edit, retry) and mirrors
    // them into the active session; saves nothing. False, changing nothing, while a turn runs.
    bool truncateMessages(qsizetype count);
    const QList<ChatSession> &chatSessions() const { return m_chatSessions; }
    int sessionCount() const { return int(m_chatSessions.size()); }
    std::optional<QUuid> activeSessionID() const { return m_activeSessionID; }
    QString activeSessionIDText() const;
    std::optional<ChatSession> activeSession() const;
    QString activeSessionTitle() const;
    // Replaces the stored sessions wholesale (import) and activates the first one.
    void replaceSessions(const QList<ChatSession> &sessions);
    // Sets the active session's per-session prompt (absent = use the global prompt) and saves.
    void setActiveSessionSystemPromptOverride(const std::optional<QString> &prompt);

    std::optional<QString> autoLoadModelPath() const { return m_autoLoadModelPath; }
    std::optional<QString> autoLoadModelName() const { return m_autoLoadModelName; }
    QString autoLoadModelPathText() const { return m_autoLoadModelPath.value_or(QString()); }
    QString autoLoadModelNameText() const { return m_autoLoadModelName.value_or(QString()); }
    void setAutoLoadModel(const std::optional<QString> &path, const std::optional<QString> &name);

    // --- approval gate
    std::optional<ToolCall> pendingApproval() const { return m_pendingApproval; }
    bool hasPendingApproval() const { return m_pendingApproval.has_value(); }
    QVariantMap pendingApprovalMap() const;
    // Shows the call in the approval card and waits until the user answers (true = approved).
    // CARD is what the card draws for it, resolved once by the turn (published as "card").
    QCoro::Task<bool> requestApproval(ToolCall call, QVariantMap card = {});
    // Whether reading the clipboard waits for the approval card too; stored at once.
    bool askBeforeReadingClipboard() const;
    void setAskBeforeReadingClipboard(bool ask);

    // Read by the turn when a reply completes; one value for every view that shows it.
    bool completionSoundEnabled() const { return m_completionSoundEnabled; }
    void setCompletionSoundEnabled(bool enabled);

    QString noticeKind() const;
    QString noticeText() const;
    QString noticeAction() const;
    bool noticeDismissable() const;
    Q_INVOKABLE void dismissNotice();
    // "Retry" saves again; "Show in folder" opens the folder holding the recovery copy.
    Q_INVOKABLE void performNoticeAction();
    // Changes made in this run that are not on disk: the last save failed, or the store is
    // read-only and something was changed.
    bool hasUnsavedChanges() const;
    QString recoveryCopyPath() const { return m_recoveryCopyPath; }

    void load();
    // Writes the settings and hands a snapshot of the sessions to the background writer.
    Q_INVOKABLE void save();
    // Blocks until every save handed to the writer is on disk (used at quit and by tests).
    void flush();

    Q_INVOKABLE void newSession();
    void selectSession(const QUuid &id);
    Q_INVOKABLE void selectSession(const QString &id);
    Q_INVOKABLE void syncActiveSession();
    Q_INVOKABLE void renameActiveSession(const QString &title);
    void togglePin(const QUuid &id);
    Q_INVOKABLE void togglePin(const QString &id);
    void deleteSession(const QUuid &id);
    Q_INVOKABLE void deleteSession(const QString &id);
    Q_INVOKABLE void clearAllChats();
    Q_INVOKABLE void resetAllData();
    Q_INVOKABLE void resolveApproval(bool approved);

signals:
    // Row-precise change notifications for the message list.
    void messagesReset();
    void messageAppended();
    void lastMessageReplaced();
    void lastMessageRemoved();
    void messagesChanged();

    void isLoadingChanged();
    void systemPromptChanged();
    void temperatureChanged();
    void maxTokensChanged();
    void pendingApprovalChanged();
    void currentStreamingContentChanged();
    // Any change to the stored sessions; one of the four below says exactly which, for lists
    // that keep their rows (and scroll position) instead of rebuilding.
    void chatSessionsChanged();
    void sessionInserted(int row);
    void sessionRemoved(int row);
    void sessionChanged(int row);
    void sessionsReset();
    void activeSessionIDChanged();
    void autoLoadModelChanged();
    void historyWasTrimmedChanged();
    void tokensPerSecondChanged();
    void askBeforeReadingClipboardChanged();
    void completionSoundEnabledChanged();
    void noticeChanged();
    // Everything the app stores was erased; the app starts over as on a first run.
    void dataWasReset();

private:
    void activate(const ChatSession &session);
    ChatSession *findSession(const QUuid &id);
    int sessionRow(const QUuid &id) const;
    void notifySessionChanged(const QUuid &id);
    void notifySessionsReset();
    void setMessages(const QList<Message> &messages);
    void mirrorMessagesIntoActiveSession();
    void editLastMessage(const std::function<void(Message &)> &edit);
    void setSaveError(const QString &error);

    // Long-lived so a save only updates memory; the settings file is written from the event loop.
    DefaultsStore m_defaults;
    ArchiveStore *m_archive = nullptr;
    bool m_ownsArchive = false;

    QList<Message> m_messages;
    bool m_isLoading = false;
    QString m_systemPrompt;
    double m_temperature = defaultTemperature;
    int m_maxTokens = defaultMaxTokens;
    std::optional<ToolCall> m_pendingApproval;
    QVariantMap m_pendingCard;
    QPointer<ApprovalRequest> m_approvalContinuation;
    QString m_currentStreamingContent;
    QList<ChatSession> m_chatSessions;
    std::optional<QUuid> m_activeSessionID;
    std::optional<QString> m_autoLoadModelPath;
    std::optional<QString> m_autoLoadModelName;
    bool m_historyWasTrimmed = false;
    double m_tokensPerSecond = 0;
    bool m_completionSoundEnabled = true;
    QString m_recoveryCopyPath;
    bool m_recoveryDismissed = false;
    QString m_readOnlyReason;
    bool m_readOnlyDismissed = false;
    bool m_changedWhileReadOnly = false;
    QString m_saveError;
};
