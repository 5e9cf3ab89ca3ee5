#include "llm/LLMClient.h"

#include "conversation/Identifiers.h"
#include "llm/OAITypes.h"
#include "llm/SseLineReader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QScopeGuard>
#include <cmath>
#include <coroutine>
#include <map>

namespace {

// The engine may think for a long time before the first token; only silence this long is an error.
constexpr int idleTimeoutMs = 300 * 1000;
const char *const cancelledProperty = "morloCancelled";
// Each pass over the reply takes a bounded piece, so a fast engine never makes one pass split and
// decode megabytes of lines at once.
constexpr qint64 readPieceBytes = 64 * 1024;

QByteArray requestBody(const QString &model, const QList<Message> &messages, const QString &systemPrompt,
                       double temperature, int maxTokens, const QJsonArray &tools)
{
    QJsonArray wireMessages{QJsonObject{{"role", Roles::system}, {"content", systemPrompt}}};
    for (const Message &message : messages) {
        if (message.role == Roles::system || message.content.trimmed().isEmpty())
            continue;
        // The engine knows no tool role; tool results go back as the user's words.
        const QString role = message.role == Roles::toolResult ? Roles::user : message.role;
        wireMessages.append(QJsonObject{{"role", role}, {"content", message.content}});
    }
    QJsonObject body{{"model", model},
                     {"messages", wireMessages},
                     {"stream", true},
                     {"temperature", temperature},
                     {"max_tokens", maxTokens}};
    if (!tools.isEmpty())
        body.insert("tools", tools);
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

// Resumes the reading coroutine when the reply has bytes to read or has finished.
struct ReplyActivity
{
    QNetworkReply *reply;
    QMetaObject::Connection dataArrived;
    QMetaObject::Connection ended;

    bool await_ready() const { return reply->bytesAvailable() > 0 || reply->isFinished(); }
    void await_suspend(std::coroutine_handle<> waiting)
    {
        auto resume = [this, waiting] {
            QObject::disconnect(dataArrived);
            QObject::disconnect(ended);
            waiting.resume();
        };
        dataArrived = QObject::connect(reply, &QNetworkReply::readyRead, reply, resume);
        ended = QObject::connect(reply, &QNetworkReply::finished, reply, resume);
    }
    void await_resume() const {}
};

struct ToolCallAccumulator
{
    QString id;
    QString name;
    QString arguments;
};

void merge(std::map<int, ToolCallAccumulator> &accumulators, const OAIToolCallDelta &delta)
{
    const int key = delta.index.value_or(0);
    auto found = accumulators.find(key);
    if (found == accumulators.end())
        found = accumulators.emplace(key, ToolCallAccumulator{delta.id.value_or(Identifiers::newUuidText()), {}, {}}).first;
    if (!delta.function)
        return;
    if (delta.function->name && !delta.function->name->isEmpty())
        found->second.name = *delta.function->name;
    if (delta.function->arguments)
        found->second.arguments += *delta.function->arguments;
}

// Argument values reach tools as text: strings as they are, numbers in decimal, anything else as
// its JSON text.
QString argumentText(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Double: {
        const double number = value.toDouble();
        // Whole numbers a 64-bit integer holds are written without a fraction; the range test
        // comes first, since converting 1e30 to an integer is undefined.
        if (std::abs(number) < 9.0e18 && number == std::trunc(number))
            return QString::number(qint64(number));
        return QString::number(number, 'g', QLocale::FloatingPointShortest);
    }
    case QJsonValue::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Object:
        return QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
    case QJsonValue::Array:
        return QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    default:
        return QStringLiteral("null");
    }
}

std::optional<QList<ToolCall>> toolCalls(const std::map<int, ToolCallAccumulator> &accumulators)
{
    QList<ToolCall> calls;
    for (const auto &[index, accumulated] : accumulators) {
        if (accumulated.name.isEmpty())
            continue;
        QMap<QString, QString> arguments;
        const QJsonDocument parsed = QJsonDocument::fromJson(accumulated.arguments.toUtf8());
        const QJsonObject object = parsed.object();
        for (auto member = object.begin(); member != object.end(); ++member)
            arguments.insert(member.key(), argumentText(member.value()));
        calls.append(ToolCall{accumulated.id, accumulated.name, arguments, ToolStatus::pending, std::nullopt});
    }
    if (calls.isEmpty())
        return std::nullopt;
    return calls;
}

LLMError engineError(int status, const QByteArray &body, const QByteArray &retryAfter)
{
    const std::optional<OAIErrorResponse> decoded = OAIErrorResponse::decode(body);
    LLMError error{QStringLiteral("LLM"), status,
                   decoded ? decoded->error.message : QStringLiteral("Server error %1").arg(status), std::nullopt};
    bool isNumber = false;
    if (const int seconds = retryAfter.trimmed().toInt(&isNumber); isNumber && seconds >= 0)
        error.retryAfterSeconds = seconds;
    return error;
}

// A failure the engine reported after the answer had begun: the status was 200, so the error's
// own code stands in for it.
LLMError streamError(const OAIErrorResponse::ErrorBody &body)
{
    return LLMError{QStringLiteral("LLM"), body.code.value_or(500), body.message, std::nullopt};
}

} // namespace

const QString LLMClient::closedEarlyText = QStringLiteral("The engine closed the reply early");

LLMClient::LLMClient(QObject *parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this))
{
}

LLMClient::~LLMClient() = default;

void LLMClient::setEndpoint(const QUrl &baseUrl, const QString &apiKey)
{
    if (baseUrl == m_baseUrl && apiKey == m_apiKey)
        return;
    m_baseUrl = baseUrl;
    m_apiKey = apiKey;
    m_refusesTools = false;
}

bool LLMClient::isToolsRefusal(const LLMError &error)
{
    if (error.domain != QLatin1String("LLM"))
        return false;
    return error.code == 500
        && (error.description.contains(QLatin1String("Cannot use tools with stream"))
            || error.description.contains(QLatin1String("tools param requires --jinja flag")));
}

QCoro::Task<LLMResult> LLMClient::streamChat(QList<Message> messages, QString systemPrompt, double temperature,
                                             int maxTokens, QJsonArray tools,
                                             std::function<void(const QString &)> onToken)
{
    QUrl url = m_baseUrl;
    QString path = url.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    url.setPath(path + QStringLiteral("/chat/completions"));
    if (!m_baseUrl.isValid() || !url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        co_return LLMError{QStringLiteral("Network"), int(QNetworkReply::ProtocolUnknownError),
                           QStringLiteral("bad URL"), std::nullopt};

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(idleTimeoutMs);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    if (!m_apiKey.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + m_apiKey.toUtf8());
    QNetworkReply *reply = m_network->post(request, requestBody(m_model, messages, systemPrompt, temperature,
                                                                maxTokens, tools));
    m_reply = reply;
    const auto release = qScopeGuard([this, guarded = QPointer<QNetworkReply>(reply)] {
        if (!guarded)
            return; // the network access manager went first
        if (m_reply == guarded)
            m_reply = nullptr;
        if (!guarded->isFinished())
            guarded->abort(); // the answer ended with [DONE]; the rest is not wanted
        guarded->deleteLater();
    });

    SseLineReader reader;
    QString content;
    std::map<int, ToolCallAccumulator> accumulators;
    QByteArray errorBody;
    bool done = false;
    bool finished = false; // a finish reason arrived: the answer is whole even without [DONE]
    std::optional<double> tokensPerSecond;
    std::optional<LLMError> failure;

    auto isCancelled = [reply] { return reply->property(cancelledProperty).toBool(); };
    auto statusCode = [reply] { return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute); };
    auto handleLine = [&](const QByteArray &line) {
        // Older engines report a failure after the answer began as an "error:" event.
        if (line.startsWith("error: ")) {
            if (const auto body = OAIErrorResponse::ErrorBody::decode(QByteArrayView(line).sliced(7))) {
                failure = streamError(*body);
                done = true;
            }
            return;
        }
        if (!line.startsWith("data: "))
            return;
        const QByteArrayView payload = QByteArrayView(line).sliced(6);
        if (payload == "[DONE]") {
            done = true;
            return;
        }
        const std::optional<OAIStreamChunk> chunk = OAIStreamChunk::decode(payload);
        if (!chunk) {
            // Recent engines send it as a data event holding an error object, then close.
            if (const auto error = OAIErrorResponse::decode(payload)) {
                failure = streamError(error->error);
                done = true;
            }
            return;
        }
        if (chunk->timings && chunk->timings->predicted_per_second)
            tokensPerSecond = chunk->timings->predicted_per_second;
        for (const OAIStreamChunk::Choice &choice : chunk->choices) {
            if (choice.finish_reason)
                finished = true;
            if (choice.delta.content && !choice.delta.content->isEmpty()) {
                content += *choice.delta.content;
                // Qt reads the socket on its own thread and buffers, so the reader never waits
                // for the view; calling here keeps fragments in order and before the result.
                if (onToken)
                    onToken(*choice.delta.content);
            }
            for (const OAIToolCallDelta &delta : choice.delta.tool_calls.value_or(QList<OAIToolCallDelta>{}))
                merge(accumulators, delta);
        }
    };

    while (!done) {
        co_await ReplyActivity{reply, {}, {}};
        if (isCancelled())
            break; // the aborted reply is closed: nothing more to read
        const QVariant status = statusCode();
        const QByteArray bytes = reply->read(readPieceBytes);
        if (status.isValid() && status.toInt() != 200) {
            errorBody += bytes;
        } else {
            for (const QByteArray &line : reader.append(bytes)) {
                handleLine(line);
                if (done || isCancelled())
                    break;
            }
            if (isCancelled())
                break;
        }
        if (reply->isFinished() && reply->bytesAvailable() == 0)
            break;
    }

    if (isCancelled())
        co_return LLMError{QStringLiteral("Cancelled"), int(QNetworkReply::OperationCanceledError),
                           QStringLiteral("Cancelled"), std::nullopt};
    const QVariant status = statusCode();
    if (status.isValid() && status.toInt() != 200)
        co_return engineError(status.toInt(), errorBody, reply->rawHeader("Retry-After"));
    if (!done && reply->error() != QNetworkReply::NoError)
        co_return LLMError{QStringLiteral("Network"), int(reply->error()), reply->errorString(), std::nullopt};
    if (!done)
        handleLine(reader.finish());
    if (failure)
        co_return *failure;
    // An answer cut off (the engine died, or gave up) must not pass for a whole one.
    if (!done && !finished)
        co_return LLMError{QStringLiteral("LLM"), 0, closedEarlyText, std::nullopt};
    co_return LLMReply{content, toolCalls(accumulators), tokensPerSecond};
}

void LLMClient::cancel()
{
    if (!m_reply)
        return;
    m_reply->setProperty(cancelledProperty, true);
    m_reply->abort();
}
