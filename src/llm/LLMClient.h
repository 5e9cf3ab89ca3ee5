#pragma once

#include "conversation/Message.h"
#include "conversation/ToolCall.h"

#include <QJsonArray>
#include <qcorotask.h>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <functional>
#include <optional>
#include <variant>

class QNetworkAccessManager;
class QNetworkReply;

// A failure of streamChat: domain "LLM" for what the engine said, with the HTTP status as code
// (for an error inside a stream, the error's own code; for a stream closed early, 0);
// "Network" (transport, with Qt's error code) or "Cancelled" otherwise.
struct LLMError
{
    QString domain;
    int code = 0;
    QString description; // what the user is shown after "Error: "
    std::optional<int> retryAfterSeconds; // a busy server's Retry-After, in seconds

    bool isCancellation() const { return domain == QLatin1String("Cancelled"); }
};

struct LLMReply
{
    QString content;                         // every non-empty fragment, joined
    std::optional<QList<ToolCall>> toolCalls; // native tool calls, or none
    // Tokens per second as the engine measured them, when its last chunk says.
    std::optional<double> tokensPerSecond;
};

using LLMResult = std::variant<LLMReply, LLMError>;

// Talks to an OpenAI-compatible chat-completions endpoint (the local engine or a server
// elsewhere): builds the request, reads the streamed answer as it arrives and hands each text
// fragment on, in order, on the GUI thread.
class LLMClient : public QObject
{
    Q_OBJECT
public:
    // What a stream that stops without its end marker and without a finish reason ends with.
    static const QString closedEarlyText;

    explicit LLMClient(QObject *parent = nullptr);
    ~LLMClient() override;

    // Requests go to baseUrl + "/chat/completions" (baseUrl like http://127.0.0.1:8081/v1), with
    // the key as a bearer token when it is not empty. Another endpoint, or the same one with a
    // new key (a restarted engine), starts with nothing learnt about it.
    void setEndpoint(const QUrl &baseUrl, const QString &apiKey);
    QUrl baseUrl() const { return m_baseUrl; }
    QString apiKey() const { return m_apiKey; }

    // True when this error says that the endpoint cannot take a tool list with a streamed
    // request: the 500s engines answer when they refuse tools with streaming (older ones) or
    // need their template engine for tools.
    static bool isToolsRefusal(const LLMError &error);
    // What the endpoint has shown about itself: once it refused tools, later requests go
    // without them at once.
    bool refusesTools() const { return m_refusesTools; }
    void rememberToolsRefused() { m_refusesTools = true; }
    // The model a request names: our own engine serves one and takes any name ("local"); a
    // server elsewhere needs the id it listed.
    void setModel(const QString &model) { m_model = model; }

    // One streamed request. `tools` empty = no "tools" key. onToken is called on the GUI thread
    // for every non-empty content fragment, in arrival order.
    QCoro::Task<LLMResult> streamChat(QList<Message> messages, QString systemPrompt,
                                      double temperature, int maxTokens, QJsonArray tools,
                                      std::function<void(const QString &)> onToken);

    // Aborts the request in flight; streamChat then returns a cancellation error.
    void cancel();

private:
    QUrl m_baseUrl;
    QString m_apiKey;
    bool m_refusesTools = false;
    QString m_model = QStringLiteral("local");
    QNetworkAccessManager *m_network;
    QPointer<QNetworkReply> m_reply; // the request in flight, for cancel()
};
