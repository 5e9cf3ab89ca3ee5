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

// A failure of streamChat: domain "LLM" with the HTTP status as code for engine errors;
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
};

using LLMResult = std::variant<LLMReply, LLMError>;

// Talks to the engine's OpenAI-compatible chat-completions endpoint: builds the request, reads
// the streamed answer as it arrives and hands each text fragment on, in order, on the GUI thread.
class LLMClient : public QObject
{
    Q_OBJECT
public:
    explicit LLMClient(const QString &baseURL, QObject *parent = nullptr);
    ~LLMClient() override;

    QString baseURL() const { return m_baseURL; }
    void setBaseURL(const QString &url) { setEndpoint(QUrl(url + QStringLiteral("/v1")), m_apiKey); }

    // Where requests go: baseUrl like http://127.0.0.1:8081/v1; each request posts to
    // baseUrl + "/chat/completions" with "Authorization: Bearer <apiKey>" when the key is not empty.
    void setEndpoint(const QUrl &baseUrl, const QString &apiKey);
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
    QString m_baseURL;
    QUrl m_endpoint;
    QString m_apiKey;
    QString m_model = QStringLiteral("local");
    QNetworkAccessManager *m_network;
    QPointer<QNetworkReply> m_reply; // the request in flight, for cancel()
};
