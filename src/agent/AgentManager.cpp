#include "agent/AgentManager.h"

#include "agent/CompletionSound.h"
#include "agent/SystemPrompt.h"
#include "conversation/AgentState.h"
#include "conversation/DefaultsStore.h"
#include "conversation/Identifiers.h"
#include "engine/ServerManager.h"
#include "llm/LLMClient.h"
#include "llm/RemoteFailure.h"
#include "tools/ToolExecutor.h"
#include "tools/ToolName.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextBoundaryFinder>
#include <QTimer>
#include <qcorosignal.h>

const QStringList AgentManager::autoApprovedTools = {
    QStringLiteral("list_open_apps"), QStringLiteral("get_system_info"),
    QStringLiteral("get_clipboard"), QStringLiteral("list_local_models"),
};

const QString AgentManager::followUpInstruction = QStringLiteral("\n")
    + QStringLiteral("In one or two sentences, briefly confirm what was just done. Don't repeat raw output verbatim.");

namespace {

const QLatin1StringView toolCallPrefix("TOOL_CALL:");
const QString errorPrefix = QStringLiteral("Error: ");
constexpr int resultLimit = 400;

// A TOOL_CALL: argument as the plain text a tool reads: strings unchanged, numbers in decimal,
// anything else as its JSON text.
QString argumentText(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Double:
        return value.toVariant().toString();
    case QJsonValue::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Array:
        return QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    case QJsonValue::Object:
        return QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
    default:
        return QStringLiteral("null");
    }
}

std::optional<ToolCall> toolCallFromLine(QStringView json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue name = object.value(QLatin1String("name"));
    if (!name.isString())
        return std::nullopt;
    QMap<QString, QString> arguments;
    const QJsonObject given = object.value(QLatin1String("arguments")).toObject();
    for (auto it = given.begin(); it != given.end(); ++it)
        arguments.insert(it.key(), argumentText(it.value()));
    return ToolCall::make(name.toString(), arguments);
}

// The first 400 characters (as the user sees them, so no emoji is split) and "…", when longer.
QString cutResult(const QString &result)
{
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, result);
    for (int i = 0; i < resultLimit; ++i)
        if (characters.toNextBoundary() < 0)
            return result;
    if (characters.position() >= result.size())
        return result;
    return result.first(characters.position()) + QChar(0x2026);
}

// Native tool calls may come with an empty id; every call of a turn needs its own.
QList<ToolCall> withDistinctIds(QList<ToolCall> calls)
{
    for (ToolCall &call : calls)
        if (call.id.isEmpty())
            call.id = Identifiers::newUuidText();
    return calls;
}

LLMError cancellationError()
{
    return LLMError{QStringLiteral("Cancelled"), 0, QStringLiteral("cancelled"), std::nullopt};
}

} // namespace

AgentManager::AgentManager(AgentState *state, ServerManager *serverManager, QObject *parent)
    : AgentManager(state, serverManager, AgentTiming{}, parent)
{
}

AgentManager::AgentManager(AgentState *state, ServerManager *serverManager,
                           const AgentTiming &timing, QObject *parent)
    : QObject(parent)
    , m_state(state)
    , m_serverManager(serverManager)
    , m_timing(timing)
    , m_sound(new CompletionSound(this))
{
    m_llmClient = new LLMClient(this);
}

AgentManager::~AgentManager() = default;

QCoro::Task<std::optional<ActiveEndpoint::Endpoint>> AgentManager::endpointForTurn()
{
    if (m_activeEndpoint)
        co_return co_await m_activeEndpoint->forTurn();
    co_return m_serverManager ? ActiveEndpoint::localEngine(*m_serverManager) : std::nullopt;
}

Message AgentManager::signedReply(const QString &content, std::optional<QList<ToolCall>> calls) const
{
    return Message::make(Roles::assistant, content, std::move(calls)).answeredBy(m_endpoint.model, m_endpoint.server);
}

bool AgentManager::hasCurrentTask() const
{
    return m_currentTask != nullptr;
}

void AgentManager::setCurrentTask(std::shared_ptr<Turn> turn)
{
    if (m_currentTask == turn)
        return;
    m_currentTask = std::move(turn);
    emit currentTaskChanged();
}

// --- starting and cancelling -----------------------------------------------------------------

void AgentManager::sendMessage(const QString &text)
{
    cancelGeneration();
    auto turn = std::make_shared<Turn>();
    setCurrentTask(turn);
    runTask(turn, text);
}

void AgentManager::cancelGeneration()
{
    if (!m_currentTask)
        return;
    m_currentTask->cancelled = true;
    // A turn waiting for the approval card is not woken: it goes on when the user answers.
    if (m_currentTask->streaming)
        m_llmClient->cancel();
    setCurrentTask(nullptr);
}

QCoro::Task<> AgentManager::runTask(std::shared_ptr<Turn> turn, QString text)
{
    QPointer<AgentManager> self(this);
    // One turn writes into the conversation at a time: a turn that replaced a running one
    // starts once that one has ended (it was cancelled, so this is quick unless it waits for
    // the user's answer to an approval card).
    while (m_turnRunning) {
        co_await qCoro(this, &AgentManager::turnFinished);
        if (!self)
            co_return;
    }
    m_turnRunning = true;
    co_await runTurn(turn, text);
    if (!self)
        co_return;
    m_turnRunning = false;
    if (m_currentTask == turn)
        setCurrentTask(nullptr);
    emit turnFinished();
}

// --- the turn --------------------------------------------------------------------------------

QCoro::Task<> AgentManager::runTurn(std::shared_ptr<Turn> turn, QString text)
{
    if (text.trimmed().isEmpty() || !m_state)
        co_return;
    QPointer<AgentManager> self(this);
    // Our engine, or the server model the user chose; nothing is recorded when neither answers.
    const std::optional<ActiveEndpoint::Endpoint> endpoint = co_await endpointForTurn();
    if (!self || !m_state || !endpoint)
        co_return;
    m_endpoint = *endpoint;

    m_state->appendMessage(Message::make(Roles::user, text));
    m_state->syncActiveSession();

    m_state->setIsLoading(true);
    m_state->setCurrentStreamingContent(QString());
    m_streamingReply.clear();
    m_state->setTokensPerSecond(0);
    m_streamStartTime.reset();
    m_tokenCount = 0;

    m_state->appendMessage(signedReply(QString()));
    m_state->syncActiveSession();

    m_llmClient->setEndpoint(m_endpoint.baseUrl, m_endpoint.apiKey);
    m_llmClient->setModel(m_endpoint.requestModel);
    const QList<Message> &messages = m_state->messages();
    const QList<Message> history = trimHistory(messages.first(messages.size() - 1), historyLimit);
    const QString prompt = effectiveSystemPrompt();
    const QJsonArray tools = m_llmClient->refusesTools() ? QJsonArray() : Tools::toolDefinitions();

    auto result = co_await request(turn, history, prompt, tools, &AgentManager::firstRequestFragment);
    // Some engines refuse the tool list (400, or a 500 naming streaming or the template engine):
    // ask once more without it; the model can still call tools through TOOL_CALL: lines. An
    // engine that refuses them in principle is asked without them from then on.
    if (const auto *error = std::get_if<LLMError>(&result);
        error && error->domain == QLatin1String("LLM") && !tools.isEmpty() && !m_streamStartTime
        && (error->code == 400 || LLMClient::isToolsRefusal(*error))) {
        if (LLMClient::isToolsRefusal(*error))
            m_llmClient->rememberToolsRefused();
        result = co_await request(turn, history, prompt, QJsonArray(),
                                  &AgentManager::firstRequestFragment);
    }

    if (const auto *error = std::get_if<LLMError>(&result)) {
        failFirstRequest(*error);
        co_return;
    }
    // The engine's own measurement beats counting fragments, which may hold several tokens.
    if (const auto speed = std::get<LLMReply>(result).tokensPerSecond; speed && *speed > 0)
        m_state->setTokensPerSecond(*speed);
    co_await handleReply(turn, std::get<LLMReply>(std::move(result)));
    finish();
}

QCoro::Task<std::variant<LLMReply, LLMError>>
AgentManager::request(std::shared_ptr<Turn> turn, QList<Message> history, QString prompt,
                      QJsonArray tools, FragmentHandler handler)
{
    if (turn->cancelled)
        co_return cancellationError();
    turn->streaming = true;
    // Fragments still queued when the request has ended (a cancelled stream) are not shown.
    auto onToken = [this, turn, handler](const QString &fragment) {
        if (turn->streaming)
            (this->*handler)(fragment);
    };
    auto result = co_await m_llmClient->streamChat(std::move(history), std::move(prompt),
                                                   m_state->temperature(), m_state->maxTokens(),
                                                   std::move(tools), onToken);
    turn->streaming = false;
    co_return result;
}

void AgentManager::firstRequestFragment(const QString &fragment)
{
    const auto now = std::chrono::steady_clock::now();
    if (!m_streamStartTime) {
        m_streamStartTime = now;
        m_tokenCount = 0;
    }
    ++m_tokenCount;
    const std::chrono::duration<double> elapsed = now - *m_streamStartTime;
    if (elapsed > m_timing.speedSettleTime)
        m_state->setTokensPerSecond(m_tokenCount / elapsed.count());
    followUpFragment(fragment);
}

void AgentManager::followUpFragment(const QString &fragment)
{
    // The placeholder always shows the cleaned text so far, so TOOL_CALL: lines and leaked
    // prompt lines never appear while streaming.
    m_state->appendStreamingContent(fragment);
    m_streamingReply.append(fragment);
    const StreamingSanitizer::Change change = m_streamingReply.takeChange();
    m_state->replaceLastMessageContent(change.keep, change.tail);
}

QCoro::Task<> AgentManager::handleReply(std::shared_ptr<Turn> turn, LLMReply reply)
{
    QString text;
    std::optional<QList<ToolCall>> calls;
    if (reply.toolCalls && !reply.toolCalls->isEmpty()) {
        text = reply.content;
        calls = withDistinctIds(*reply.toolCalls);
    } else {
        std::tie(text, calls) = parseToolCalls(reply.content);
    }

    QString display = SystemPrompt::sanitizeReply(text);
    // The cleaner removed everything: show the reply without its TOOL_CALL: lines instead,
    // which is exactly the text parseToolCalls left.
    if (display.isEmpty() && !reply.content.trimmed().isEmpty() && !calls)
        display = text;

    if (calls) {
        m_state->replaceLastMessage(signedReply(display, calls));
        co_await handleToolCalls(turn, *calls);
        co_return;
    }
    m_state->replaceLastMessage(signedReply(display));
    m_state->save();
}

QCoro::Task<> AgentManager::handleToolCalls(std::shared_ptr<Turn> turn, QList<ToolCall> calls)
{
    // Each handled call is kept with the results, so the conversation shows (and stores) one
    // activity row per call, auto-approved and denied ones included.
    QStringList lines;
    QList<ToolCall> handled;
    for (const ToolCall &call : std::as_const(calls)) {
        handled.append(co_await runToolCall(call));
        lines.append(QLatin1Char('[') + call.name + QStringLiteral("]: ") + handled.last().result.value_or(QString()));
    }

    m_state->appendMessage(Message::make(Roles::toolResult,
                                         QStringLiteral("Tool results:\n") + lines.join(QLatin1Char('\n')), handled));
    m_state->syncActiveSession();
    m_state->appendMessage(signedReply(QString()));
    m_state->syncActiveSession();
    m_state->setCurrentStreamingContent(QString());
    m_streamingReply.clear();

    // The results go back once, without tools: one turn runs at most one batch of tools.
    const QList<Message> &messages = m_state->messages();
    const QList<Message> history = trimHistory(messages.first(messages.size() - 1), historyLimit);
    const auto result = co_await request(turn, history, effectiveSystemPrompt() + followUpInstruction,
                                         QJsonArray(), &AgentManager::followUpFragment);
    if (const auto *error = std::get_if<LLMError>(&result)) {
        failRequest(*error);
        co_return;
    }
    // Tool calls in the confirmation are never run, native or TOOL_CALL: lines alike.
    const QString text = parseToolCalls(std::get<LLMReply>(result).content).first;
    m_state->replaceLastMessage(signedReply(SystemPrompt::sanitizeReply(text)));
}

bool AgentManager::needsApproval(const QString &toolName) const
{
    if (toolName == QLatin1String("get_clipboard") && m_state->askBeforeReadingClipboard())
        return true;
    return !autoApprovedTools.contains(toolName);
}

QCoro::Task<ToolCall> AgentManager::runToolCall(ToolCall call)
{
    // Resolved once: the card shows these values and the tool acts on exactly them.
    const ResolvedAction action = ToolCallResolver::resolve(call);
    if (!action.refusal.isEmpty())
        co_return action.recorded(ToolStatus::failed, action.refusal);
    if (needsApproval(call.name) && !co_await m_state->requestApproval(call, action.card()))
        co_return action.recorded(ToolStatus::denied, QStringLiteral("Denied by user"));

    const QString result = co_await ToolExecutor::execute(action);
    if (const Message screenshot = Message::make(Roles::assistant, result); screenshot.isImage()) {
        // The screenshot is shown in the chat; the model only hears where it went.
        m_state->appendMessage(screenshot);
        m_state->syncActiveSession();
        co_return action.recorded(ToolStatus::completed,
                                  QStringLiteral("Screenshot captured and saved to Desktop as 'Screenshot_")
                                      + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss"))
                                      + QStringLiteral(".jpg'."));
    }
    co_return action.recorded(ToolExecutor::isFailure(result) ? ToolStatus::failed : ToolStatus::completed,
                              cutResult(result));
}

void AgentManager::failFirstRequest(const LLMError &error)
{
    if (error.isCancellation()) {
        // The placeholder of a cancelled turn disappears; text already streamed stays.
        const Message &last = m_state->messages().last();
        if (last.role == Roles::assistant && last.content.trimmed().isEmpty())
            m_state->removeLastMessage();
    } else {
        failRequest(error);
    }
    m_state->setIsLoading(false);
    m_state->setCurrentStreamingContent(QString());
    m_state->save();
    m_state->setTokensPerSecond(0);
}

void AgentManager::failRequest(LLMError error)
{
    const Message &last = m_state->messages().last();
    const bool partial = last.role == Roles::assistant && !last.content.trimmed().isEmpty();
    // A server elsewhere fails in its own ways (keys, rate limits, models taken away); say which.
    if (!m_endpoint.server.isEmpty())
        error = RemoteFailure::forTurn(error, m_endpoint.server, m_endpoint.model, partial);
    const Message failure = Message::make(Roles::assistant, errorPrefix + error.description);
    // Text that had already arrived stays, with the error after it.
    if (partial) {
        m_state->appendMessage(failure);
        m_state->syncActiveSession();
    } else {
        m_state->replaceLastMessage(failure);
    }
}

void AgentManager::finish()
{
    m_state->setIsLoading(false);
    m_state->setCurrentStreamingContent(QString());
    m_state->save();
    playCompletionSound();
    if (m_state->tokensPerSecond() > 0) {
        // The speed stays visible for a while after the reply, unless a new turn is running.
        QTimer::singleShot(m_timing.speedResetDelay, this, [this] {
            if (m_state && !m_state->isLoading())
                m_state->setTokensPerSecond(0);
        });
    }
}

bool AgentManager::playCompletionSound()
{
    const QVariant enabled = DefaultsStore().value(DefaultsKeys::completionSoundEnabled);
    // Only a stored false silences it (the settings file keeps booleans as the words true and
    // false); absent or other values keep the chime.
    const bool storedFalse = enabled.typeId() == QMetaType::Bool
        ? !enabled.toBool()
        : enabled.toString() == QLatin1String("false");
    if (storedFalse)
        return false;
    m_sound->play();
    emit completionSoundPlayed();
    return true;
}

// --- prompt and history ----------------------------------------------------------------------

QString AgentManager::effectiveSystemPrompt() const
{
    DefaultsStore defaults;
    SystemPrompt::Inputs inputs;
    inputs.systemPrompt = m_state->systemPrompt();
    if (const auto session = m_state->activeSession())
        inputs.sessionPromptOverride = session->systemPromptOverride;
    inputs.userName = defaults.text(DefaultsKeys::userName);
    inputs.responseStyle = defaults.text(DefaultsKeys::responseStyle);
    // The model is told a home folder that exists on this machine.
    inputs.home = QDir::homePath();
    return SystemPrompt::compose(inputs);
}

QList<Message> AgentManager::trimHistory(const QList<Message> &messages, int limit)
{
    QList<Message> kept;
    for (const Message &message : messages)
        if (message.role != Roles::system && !message.isImage())
            kept.append(message);
    m_state->setHistoryWasTrimmed(limit < kept.size());
    if (kept.size() > limit)
        return kept.sliced(kept.size() - limit);
    return kept;
}

std::pair<QString, std::optional<QList<ToolCall>>> AgentManager::parseToolCalls(const QString &text)
{
    QStringList kept;
    QList<ToolCall> calls;
    for (const QStringView line : QStringView(text).split(QLatin1Char('\n'))) {
        const QStringView t = SystemPrompt::trimSpacesAndTabs(line);
        if (!t.startsWith(toolCallPrefix)) {
            kept.append(line.toString());
            continue;
        }
        if (auto call = toolCallFromLine(SystemPrompt::trimSpacesAndTabs(t.sliced(toolCallPrefix.size()))))
            calls.append(*call);
    }
    const QString remaining = kept.join(QLatin1Char('\n')).trimmed();
    if (calls.isEmpty())
        return {remaining, std::nullopt};
    return {remaining, calls};
}
