#pragma once

#include "agent/AgentTiming.h"
#include "agent/StreamingSanitizer.h"
#include "conversation/Message.h"
#include "llm/ActiveEndpoint.h"
#include "conversation/ToolCall.h"

#include <QJsonArray>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <qcorotask.h>
#include <chrono>
#include <memory>
#include <optional>

class ActiveEndpoint;
class AgentState;
class CompletionSound;
class ServerManager;
class LLMClient;
struct LLMError;
struct LLMReply;

// Runs one user turn end to end: records the message, streams the answer into the visible
// conversation, finds tool calls, asks for approval, runs them, reports the results back in one
// follow-up request, and finishes with the speed figure, the sound and saving.
//
// While a turn runs (isLoading), the store refuses to switch, clear or replace the conversation
// on screen, so every write of the turn lands in the conversation it started in.
class AgentManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool hasCurrentTask READ hasCurrentTask NOTIFY currentTaskChanged)
public:
    static constexpr int historyLimit = 20;
    static const QStringList autoApprovedTools;
    static const QString followUpInstruction;

    AgentManager(AgentState *state, ServerManager *serverManager, QObject *parent = nullptr);
    AgentManager(AgentState *state, ServerManager *serverManager, const AgentTiming &timing,
                 QObject *parent);
    ~AgentManager() override;

    // Where turns go; without one, every turn goes to our own engine.
    void setActiveEndpoint(ActiveEndpoint *endpoint) { m_activeEndpoint = endpoint; }

    Q_INVOKABLE void sendMessage(const QString &text);
    Q_INVOKABLE void cancelGeneration();

    QString effectiveSystemPrompt() const;
    QList<Message> trimHistory(const QList<Message> &messages, int limit);
    // The text without its TOOL_CALL: lines, and the calls those lines hold (none if none).
    static std::pair<QString, std::optional<QList<ToolCall>>> parseToolCalls(const QString &text);

    // Plays the completion chime unless the user turned it off; true when it was started.
    bool playCompletionSound();

    // True while a turn is running (a task exists).
    bool hasCurrentTask() const;
    // The client of the endpoint turns are sent to.
    LLMClient *llmClient() const { return m_llmClient; }

signals:
    // Emitted when a turn has ended, whatever way it ended (for views and tests).
    void turnFinished();
    void currentTaskChanged();
    void completionSoundPlayed();

private:
    // The handle of one turn; cancelling marks it and ends its request in flight.
    struct Turn
    {
        bool cancelled = false;
        bool streaming = false;
    };
    using FragmentHandler = void (AgentManager::*)(const QString &);

    QCoro::Task<> runTask(std::shared_ptr<Turn> turn, QString text);
    QCoro::Task<> runTurn(std::shared_ptr<Turn> turn, QString text);
    QCoro::Task<> handleReply(std::shared_ptr<Turn> turn, LLMReply reply);
    QCoro::Task<> handleToolCalls(std::shared_ptr<Turn> turn, QList<ToolCall> calls);
    // Runs one call (after the card, where it needs one) and returns it as recorded: the
    // values acted on, its status and the result text the model is given.
    QCoro::Task<ToolCall> runToolCall(ToolCall call);
    bool needsApproval(const QString &toolName) const;
    QCoro::Task<std::variant<LLMReply, LLMError>> request(std::shared_ptr<Turn> turn,
                                                          QList<Message> history, QString prompt,
                                                          QJsonArray tools, FragmentHandler handler);
    void firstRequestFragment(const QString &fragment);
    void followUpFragment(const QString &fragment);
    void failFirstRequest(const LLMError &error);
    void failRequest(LLMError error);
    QCoro::Task<std::optional<ActiveEndpoint::Endpoint>> endpointForTurn();
    // An assistant reply signed by the model and server of this turn.
    Message signedReply(const QString &content, std::optional<QList<ToolCall>> calls = std::nullopt) const;
    void finish();
    void setCurrentTask(std::shared_ptr<Turn> turn);

    QPointer<AgentState> m_state;
    QPointer<ServerManager> m_serverManager;
    LLMClient *m_llmClient;
    QPointer<ActiveEndpoint> m_activeEndpoint;
    ActiveEndpoint::Endpoint m_endpoint; // of the turn running now
    std::shared_ptr<Turn> m_currentTask;
    std::optional<std::chrono::steady_clock::time_point> m_streamStartTime;
    int m_tokenCount = 0;

    AgentTiming m_timing;
    StreamingSanitizer m_streamingReply;
    CompletionSound *m_sound;
    bool m_turnRunning = false;
};
