#include "conversation/AgentState.h"

#include "conversation/ApprovalRequest.h"
#include "conversation/ArchiveStore.h"
#include "conversation/DefaultsStore.h"
#include "conversation/Identifiers.h"
#include "platform/AppPaths.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>
#include <qcorosignal.h>

const QString AgentState::defaultSystemPrompt = QStringLiteral(
    "You are Morlo AI, a helpful AI assistant. Answer any question directly from your knowledge "
    "\u2014 coding, math, definitions, explanations, general knowledge. NEVER use tools to answer "
    "questions. NEVER create or guess file paths. NEVER call read_file unless the user gives you "
    "an exact file path like '/Users/someone/file.txt'. Only use system tools when the user "
    "explicitly says to open an app, delete a file, take a screenshot, or similar direct system "
    "commands.");

const QStringList AgentState::legacyDefaultPrompts = {
    QStringLiteral("You are Morlo AI, an intelligent macOS assistant. You can control the system, "
                   "take screenshots, manage files, and run applications. Always ask for user "
                   "approval before taking any action. Be helpful, precise, and safety-conscious."),
    QStringLiteral("You are Morlo AI, a helpful AI assistant. Answer coding questions, explain "
                   "concepts, help with math, write code, and have general conversations. You also "
                   "have macOS tools for system tasks like managing files, taking screenshots, and "
                   "opening apps \u2014 but only use those tools when the user explicitly asks for a "
                   "system action. For everything else, just answer directly."),
};

namespace {

// The first six space-separated words of the first user message. Only U+0020 separates words;
// line breaks and tabs stay inside them.
QString titleFromMessage(const QString &content)
{
    const QStringList words = content.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    return words.mid(0, 6).join(QLatin1Char(' '));
}

} // namespace

AgentState::AgentState(QObject *parent)
    : AgentState(nullptr, parent)
{
}

AgentState::AgentState(ArchiveStore *archive, QObject *parent)
    : QObject(parent)
    , m_archive(archive)
    , m_systemPrompt(defaultSystemPrompt)
{
    if (!m_archive) {
        m_archive = new ArchiveStore(AppPaths::chatArchivePath());
        m_ownsArchive = true;
    }
    // Written on the archive's own thread; the outcome is shown from the GUI thread.
    m_archive->setWriteListener([this](const QString &error) {
        QMetaObject::invokeMethod(this, [this, error] { setSaveError(error); }, Qt::QueuedConnection);
    });
    load();
    if (!m_chatSessions.isEmpty())
        activate(m_chatSessions.first());
    else
        newSession();
}

AgentState::~AgentState()
{
    m_archive->setWriteListener({});
    if (m_ownsArchive)
        delete m_archive; // writes what is still pending
}

// --- messages ---------------------------------------------------------------------------

void AgentState::setMessages(const QList<Message> &messages)
{
    m_messages = messages;
    emit messagesReset();
    emit messagesChanged();
}

void AgentState::appendMessage(const Message &message)
{
    m_messages.append(message);
    emit messageAppended();
    emit messagesChanged();
}

void AgentState::removeLastMessage()
{
    if (m_messages.isEmpty())
        return;
    m_messages.removeLast();
    mirrorMessagesIntoActiveSession();
    emit lastMessageRemoved();
    emit messagesChanged();
}

void AgentState::mirrorMessagesIntoActiveSession()
{
    if (!m_activeSessionID)
        return;
    if (ChatSession *session = findSession(*m_activeSessionID))
        session->messages = m_messages;
}

void AgentState::replaceLastMessageContent(const QString &text)
{
    if (m_messages.isEmpty())
        return;
    const Message &last = m_messages.last();
    replaceLastMessage(Message{QUuid::createUuid(), last.role, text, QDateTime::currentDateTime(),
                               last.toolCalls, last.model, last.server});
}

void AgentState::replaceLastMessage(const Message &message)
{
    editLastMessage([&](Message &last) { last = message; });
}

void AgentState::replaceLastMessageContent(qsizetype keep, QStringView tail)
{
    editLastMessage([&](Message &last) {
        QString text = std::move(last.content);
        text.truncate(keep);
        text.append(tail);
        last = Message{QUuid::createUuid(), last.role, std::move(text), QDateTime::currentDateTime(),
                       last.toolCalls, last.model, last.server};
    });
}

void AgentState::editLastMessage(const std::function<void(Message &)> &edit)
{
    if (m_messages.isEmpty())
        return;
    // Drop the session's shared copy first so changing the last element neither copies the
    // whole list nor its text on every streamed fragment.
    ChatSession *session = m_activeSessionID ? findSession(*m_activeSessionID) : nullptr;
    if (session)
        session->messages = {};
    edit(m_messages.last());
    if (session)
        session->messages = m_messages;
    emit lastMessageReplaced();
}

// --- plain properties -------------------------------------------------------------------

void AgentState::setIsLoading(bool value)
{
    if (m_isLoading == value)
        return;
    m_isLoading = value;
    emit isLoadingChanged();
}

void AgentState::setSystemPrompt(const QString &value)
{
    if (m_systemPrompt == value)
        return;
    m_systemPrompt = value;
    emit systemPromptChanged();
}

void AgentState::setTemperature(double value)
{
    if (m_temperature == value)
        return;
    m_temperature = value;
    emit temperatureChanged();
}

void AgentState::setMaxTokens(int value)
{
    if (m_maxTokens == value)
        return;
    m_maxTokens = value;
    emit maxTokensChanged();
}

void AgentState::setCurrentStreamingContent(const QString &value)
{
    if (m_currentStreamingContent == value)
        return;
    m_currentStreamingContent = value;
    emit currentStreamingContentChanged();
}

void AgentState::appendStreamingContent(const QString &fragment)
{
    if (fragment.isEmpty())
        return;
    m_currentStreamingContent += fragment;
    emit currentStreamingContentChanged();
}

void AgentState::setHistoryWasTrimmed(bool value)
{
    if (m_historyWasTrimmed == value)
        return;
    m_historyWasTrimmed = value;
    emit historyWasTrimmedChanged();
}

void AgentState::setTokensPerSecond(double value)
{
    if (m_tokensPerSecond == value)
        return;
    m_tokensPerSecond = value;
    emit tokensPerSecondChanged();
}

void AgentState::setAutoLoadModel(const std::optional<QString> &path, const std::optional<QString> &name)
{
    if (m_autoLoadModelPath == path && m_autoLoadModelName == name)
        return;
    m_autoLoadModelPath = path;
    m_autoLoadModelName = name;
    emit autoLoadModelChanged();
}

void AgentState::setCompletionSoundEnabled(bool enabled)
{
    if (m_completionSoundEnabled == enabled)
        return;
    m_completionSoundEnabled = enabled;
    m_defaults.setValue(DefaultsKeys::completionSoundEnabled, enabled);
    emit completionSoundEnabledChanged();
}

QString AgentState::changeBlockedReason() const
{
    return canChangeConversation() ? QString() : tr("A reply is being written. Stop it first.");
}

bool AgentState::truncateMessages(qsizetype count)
{
    if (!canChangeConversation())
        return false;
    while (m_messages.size() > count)
        removeLastMessage();
    return true;
}

// --- notices ----------------------------------------------------------------------------

QString AgentState::noticeKind() const
{
    // A failing save matters most: it is what loses data from now on.
    if (!m_saveError.isEmpty())
        return QStringLiteral("saveFailed");
    if (!m_readOnlyReason.isEmpty() && !m_readOnlyDismissed)
        return QStringLiteral("readOnly");
    if (!m_recoveryCopyPath.isEmpty() && !m_recoveryDismissed)
        return QStringLiteral("recovery");
    return {};
}

QString AgentState::noticeText() const
{
    const QString kind = noticeKind();
    if (kind == QLatin1String("saveFailed"))
        return tr("Conversations could not be saved: %1").arg(m_saveError);
    if (kind == QLatin1String("readOnly"))
        return tr("Your conversations could not be read, and no copy of them could be kept (%1). "
                  "Nothing is saved until the app starts again.").arg(m_readOnlyReason);
    if (kind == QLatin1String("recovery"))
        return tr("Your conversations could not be read. A copy was kept at %1.").arg(m_recoveryCopyPath);
    return {};
}

QString AgentState::noticeAction() const
{
    const QString kind = noticeKind();
    if (kind == QLatin1String("saveFailed"))
        return tr("Retry");
    if (kind == QLatin1String("recovery"))
        return tr("Show in folder");
    return {};
}

bool AgentState::noticeDismissable() const
{
    // A save failure stays until a save succeeds.
    return noticeKind() != QLatin1String("saveFailed");
}

void AgentState::dismissNotice()
{
    const QString kind = noticeKind();
    if (kind == QLatin1String("readOnly"))
        m_readOnlyDismissed = true;
    else if (kind == QLatin1String("recovery"))
        m_recoveryDismissed = true;
    else
        return;
    emit noticeChanged();
}

void AgentState::performNoticeAction()
{
    const QString kind = noticeKind();
    if (kind == QLatin1String("saveFailed"))
        save();
    else if (kind == QLatin1String("recovery"))
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(m_recoveryCopyPath).absolutePath()));
}

bool AgentState::hasUnsavedChanges() const
{
    return !m_saveError.isEmpty() || (m_archive->isReadOnly() && m_changedWhileReadOnly);
}

void AgentState::setSaveError(const QString &error)
{
    if (m_saveError == error)
        return;
    m_saveError = error;
    emit noticeChanged();
}

// --- sessions ---------------------------------------------------------------------------

ChatSession *AgentState::findSession(const QUuid &id)
{
    for (ChatSession &session : m_chatSessions)
        if (session.id == id)
            return &session;
    return nullptr;
}

int AgentState::sessionRow(const QUuid &id) const
{
    for (int row = 0; row < m_chatSessions.size(); ++row)
        if (m_chatSessions.at(row).id == id)
            return row;
    return -1;
}

void AgentState::notifySessionChanged(const QUuid &id)
{
    emit sessionChanged(sessionRow(id));
    emit chatSessionsChanged();
}

void AgentState::notifySessionsReset()
{
    emit sessionsReset();
    emit chatSessionsChanged();
}

QString AgentState::activeSessionIDText() const
{
    return m_activeSessionID ? Identifiers::uuidText(*m_activeSessionID) : QString();
}

std::optional<ChatSession> AgentState::activeSession() const
{
    if (!m_activeSessionID)
        return std::nullopt;
    for (const ChatSession &session : m_chatSessions)
        if (session.id == *m_activeSessionID)
            return session;
    return std::nullopt;
}

QString AgentState::activeSessionTitle() const
{
    const auto session = activeSession();
    return session ? session->title : QString();
}

void AgentState::activate(const ChatSession &session)
{
    const bool changed = m_activeSessionID != session.id;
    m_activeSessionID = session.id;
    setMessages(session.messages);
    if (changed)
        emit activeSessionIDChanged();
}

void AgentState::newSession()
{
    if (!canChangeConversation())
        return;
    const ChatSession session = ChatSession::make();
    m_chatSessions.prepend(session);
    emit sessionInserted(0);
    emit chatSessionsChanged();
    activate(session);
}

void AgentState::selectSession(const QUuid &id)
{
    if (!canChangeConversation())
        return;
    if (const ChatSession *session = findSession(id))
        activate(*session);
}

void AgentState::selectSession(const QString &id)
{
    selectSession(Identifiers::parseUuid(id));
}

void AgentState::syncActiveSession()
{
    ChatSession *session = m_activeSessionID ? findSession(*m_activeSessionID) : nullptr;
    if (session) {
        session->messages = m_messages;
        session->updatedAt = QDateTime::currentDateTime();
        if (session->title == newChatTitle) {
            for (const Message &message : std::as_const(m_messages)) {
                if (message.role == Roles::user) {
                    session->title = titleFromMessage(message.content);
                    break;
                }
            }
        }
        notifySessionChanged(session->id);
    }
    save();
}

void AgentState::renameActiveSession(const QString &title)
{
    if (title.trimmed().isEmpty() || !m_activeSessionID)
        return;
    ChatSession *session = findSession(*m_activeSessionID);
    if (!session)
        return;
    session->title = title;
    notifySessionChanged(session->id);
    save();
}

void AgentState::setActiveSessionSystemPromptOverride(const std::optional<QString> &prompt)
{
    ChatSession *session = m_activeSessionID ? findSession(*m_activeSessionID) : nullptr;
    if (!session || session->systemPromptOverride == prompt)
        return;
    session->systemPromptOverride = prompt;
    notifySessionChanged(session->id);
    save();
}

void AgentState::togglePin(const QUuid &id)
{
    ChatSession *session = findSession(id);
    if (!session)
        return;
    session->isPinned = !session->isPinned;
    notifySessionChanged(id);
    save();
}

void AgentState::togglePin(const QString &id)
{
    togglePin(Identifiers::parseUuid(id));
}

void AgentState::deleteSession(const QUuid &id)
{
    const bool wasActive = m_activeSessionID == id;
    if (wasActive && !canChangeConversation())
        return;
    const int row = sessionRow(id);
    if (row < 0)
        return;
    m_chatSessions.removeAt(row);
    emit sessionRemoved(row);
    emit chatSessionsChanged();
    if (wasActive) {
        if (!m_chatSessions.isEmpty())
            activate(m_chatSessions.first());
        else
            newSession();
    }
    save();
}

void AgentState::deleteSession(const QString &id)
{
    deleteSession(Identifiers::parseUuid(id));
}

void AgentState::replaceSessions(const QList<ChatSession> &sessions)
{
    if (!canChangeConversation())
        return;
    m_chatSessions = sessions;
    notifySessionsReset();
    if (m_chatSessions.isEmpty())
        newSession();
    else
        activate(m_chatSessions.first());
    save();
}

void AgentState::clearAllChats()
{
    if (!canChangeConversation())
        return;
    m_chatSessions.clear();
    notifySessionsReset();
    newSession();
    save();
}

void AgentState::resetAllData()
{
    if (!canChangeConversation())
        return;
    m_chatSessions.clear();
    notifySessionsReset();
    newSession();
    save();

    setSystemPrompt(defaultSystemPrompt);
    setTemperature(defaultTemperature);
    setMaxTokens(defaultMaxTokens);
    setAutoLoadModel(std::nullopt, std::nullopt);
    // Every key the app keeps goes, the sound and first-run answers included: the next start
    // is a first run.
    m_defaults.clear();
    if (!m_completionSoundEnabled) {
        m_completionSoundEnabled = true;
        emit completionSoundEnabledChanged();
    }
    emit askBeforeReadingClipboardChanged();
    save();
    emit dataWasReset();
}

// --- persistence ------------------------------------------------------------------------

void AgentState::load()
{
    DefaultsStore &defaults = m_defaults;
    if (defaults.contains(DefaultsKeys::systemPrompt)) {
        const QString stored = defaults.text(DefaultsKeys::systemPrompt);
        setSystemPrompt(legacyDefaultPrompts.contains(stored) ? defaultSystemPrompt : stored);
    }
    if (const double t = defaults.value(DefaultsKeys::temperature).toDouble(); t > 0.0)
        setTemperature(t);
    if (const int n = defaults.value(DefaultsKeys::maxTokens).toInt(); n >= 1)
        setMaxTokens(n);
    const auto optionalText = [&](const QString &key) -> std::optional<QString> {
        if (!defaults.contains(key))
            return std::nullopt;
        return defaults.text(key);
    };
    setAutoLoadModel(optionalText(DefaultsKeys::autoLoadModelPath),
                     optionalText(DefaultsKeys::autoLoadModelName));
    m_completionSoundEnabled = defaults.boolean(DefaultsKeys::completionSoundEnabled, true);

    const ArchiveStore::Loaded loaded = m_archive->load();
    if (loaded.sessions) {
        m_chatSessions = *loaded.sessions;
        notifySessionsReset();
    }
    m_recoveryCopyPath = loaded.recoveryCopyPath;
    m_readOnlyReason = loaded.readOnlyReason;
    emit noticeChanged();
}

void AgentState::save()
{
    DefaultsStore &defaults = m_defaults;
    defaults.setValue(DefaultsKeys::systemPrompt, m_systemPrompt);
    defaults.setValue(DefaultsKeys::temperature, m_temperature);
    defaults.setValue(DefaultsKeys::maxTokens, m_maxTokens);
    if (m_autoLoadModelPath)
        defaults.setValue(DefaultsKeys::autoLoadModelPath, *m_autoLoadModelPath);
    else
        defaults.remove(DefaultsKeys::autoLoadModelPath);
    if (m_autoLoadModelName)
        defaults.setValue(DefaultsKeys::autoLoadModelName, *m_autoLoadModelName);
    else
        defaults.remove(DefaultsKeys::autoLoadModelName);
    m_archive->save(m_chatSessions);
    if (m_archive->isReadOnly() && !m_changedWhileReadOnly) {
        m_changedWhileReadOnly = true;
        emit noticeChanged();
    }
}

void AgentState::flush()
{
    m_defaults.sync();
    m_archive->flush();
}

// --- approval gate ----------------------------------------------------------------------

QVariantMap AgentState::pendingApprovalMap() const
{
    if (!m_pendingApproval)
        return {};
    QVariantMap arguments;
    for (auto it = m_pendingApproval->arguments.begin(); it != m_pendingApproval->arguments.end(); ++it)
        arguments.insert(it.key(), it.value());
    return {{QStringLiteral("id"), m_pendingApproval->id},
            {QStringLiteral("name"), m_pendingApproval->name},
            {QStringLiteral("arguments"), arguments},
            {QStringLiteral("card"), m_pendingCard}};
}

bool AgentState::askBeforeReadingClipboard() const
{
    return m_defaults.boolean(DefaultsKeys::askBeforeReadingClipboard, false);
}

void AgentState::setAskBeforeReadingClipboard(bool ask)
{
    if (ask == askBeforeReadingClipboard())
        return;
    m_defaults.setValue(DefaultsKeys::askBeforeReadingClipboard, ask);
    emit askBeforeReadingClipboardChanged();
}

QCoro::Task<bool> AgentState::requestApproval(ToolCall call, QVariantMap card)
{
    // One slot: an earlier request still waiting is answered as denied rather than left hanging.
    if (m_approvalContinuation)
        resolveApproval(false);
    QPointer<ApprovalRequest> request = new ApprovalRequest(this);
    m_pendingApproval = std::move(call);
    m_pendingCard = std::move(card);
    m_approvalContinuation = request;
    emit pendingApprovalChanged();
    const bool approved = co_await qCoro(request.data(), &ApprovalRequest::resolved);
    co_return approved;
}

void AgentState::resolveApproval(bool approved)
{
    // The gate is idle again before the waiting turn resumes, so the turn may ask for the next
    // approval straight away.
    QPointer<ApprovalRequest> request = m_approvalContinuation;
    m_approvalContinuation.clear();
    const bool hadPending = m_pendingApproval.has_value();
    m_pendingApproval.reset();
    m_pendingCard.clear();
    if (hadPending)
        emit pendingApprovalChanged();
    if (request) {
        emit request->resolved(approved);
        request->deleteLater();
    }
}
