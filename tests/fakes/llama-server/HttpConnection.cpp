#include "HttpConnection.h"

#include "EngineScript.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTimer>
#include <unistd.h>

namespace {

// Keep the socket's write buffer small so a slow reader slows the stream instead of the fake
// buffering a whole long reply.
constexpr qint64 maxBuffered = 256 * 1024;
constexpr qsizetype maxChunkBytes = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

QByteArray head(int status, const QByteArray &contentType)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n"
           "Server: llama.cpp\r\n"
           "Content-Type: " + contentType + "\r\n";
}

} // namespace

HttpConnection::HttpConnection(QTcpSocket *socket, EngineScript &script)
    : QObject(socket)
    , m_socket(socket)
    , m_script(script)
{
    connect(socket, &QTcpSocket::readyRead, this, &HttpConnection::readRequests);
    connect(socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_streaming && !m_waitingForTimer)
            pump();
    });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}

void HttpConnection::readRequests()
{
    m_input += m_socket->readAll();
    while (!m_streaming) {
        const qsizetype headEnd = m_input.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        const QList<QByteArray> lines = m_input.left(headEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        qsizetype length = 0;
        QByteArray authorization;
        for (const QByteArray &line : lines.mid(1)) {
            const qsizetype colon = line.indexOf(':');
            const QByteArray name = line.left(colon).trimmed().toLower();
            if (colon > 0 && name == "content-length")
                length = line.mid(colon + 1).trimmed().toLongLong();
            if (colon > 0 && name == "authorization")
                authorization = line.mid(colon + 1).trimmed();
        }
        if (m_input.size() < headEnd + 4 + length)
            return;
        const QByteArray body = m_input.mid(headEnd + 4, length);
        m_input.remove(0, headEnd + 4 + length);
        handle(requestLine.value(0), requestLine.value(1), authorization, body);
    }
}

void HttpConnection::handle(const QByteArray &method, const QByteArray &path,
                            const QByteArray &authorization, const QByteArray &body)
{
    // Like the real engine, a key guards everything but the health and model list endpoints.
    const bool open = path == "/health" || path == "/v1/models";
    if (!open && !m_script.apiKey().isEmpty() && authorization != "Bearer " + m_script.apiKey()) {
        sendError(401, QStringLiteral("Invalid API Key"), QStringLiteral("authentication_error"));
        return;
    }
    if (method == "POST")
        m_script.logRequest(body);
    if (method == "GET" && path == "/health") {
        if (m_script.isLoaded())
            sendPlain(200, "application/json; charset=utf-8", R"({"status":"ok"})");
        else
            sendError(503, QStringLiteral("Loading model"), QStringLiteral("unavailable_error"));
    } else if (method == "GET" && path == "/v1/models") {
        // The model list a server elsewhere is asked for; like the real engine, open without a key.
        sendPlain(200, "application/json; charset=utf-8", R"({"object":"list","data":[{"id":"fake-model","object":"model"}]})");
    } else if (method == "POST" && path == "/v1/chat/completions") {
        answerChat(body);
    } else {
        sendError(404, QStringLiteral("File Not Found"), QStringLiteral("not_found_error"));
    }
}

void HttpConnection::answerChat(const QByteArray &body)
{
    QJsonParseError error;
    const QJsonObject request = QJsonDocument::fromJson(body, &error).object();
    if (error.error != QJsonParseError::NoError) {
        sendError(500, QStringLiteral("[json.exception.parse_error.101] parse error: ") + error.errorString(),
                  QStringLiteral("server_error"));
        return;
    }
    if (!request.value(QStringLiteral("messages")).isArray()) {
        sendError(500, QStringLiteral("'messages' is required"), QStringLiteral("server_error"));
        return;
    }
    m_plan = StreamPlan::fromReply(m_script.nextReply(request.contains(QStringLiteral("tools"))));
    if (!m_plan.streamed) {
        sendPlain(m_plan.status, m_plan.contentType, m_plan.body);
        return;
    }
    m_socket->write(head(200, m_plan.contentType) + "Transfer-Encoding: chunked\r\n\r\n");
    m_streaming = true;
    m_nextEvent = 0;
    pump();
}

void HttpConnection::sendPlain(int status, const QByteArray &contentType, const QByteArray &body)
{
    m_socket->write(head(status, contentType) + "Content-Length: " + QByteArray::number(body.size())
                    + "\r\n\r\n" + body);
}

void HttpConnection::sendError(int status, const QString &message, const QString &type)
{
    const QJsonObject error{{"error", QJsonObject{{"code", status}, {"message", message}, {"type", type}}}};
    sendPlain(status, "application/json; charset=utf-8", QJsonDocument(error).toJson(QJsonDocument::Compact));
}

void HttpConnection::pump()
{
    if (m_plan.delayMs > 0 && m_nextEvent < m_plan.events.size()) {
        // Set first: flushing may report bytesWritten at once, which must not send the next event.
        m_waitingForTimer = true;
        writeChunk(m_plan.events.at(m_nextEvent++));
        m_socket->flush();
        QTimer::singleShot(m_plan.delayMs, this, [this] {
            m_waitingForTimer = false;
            pump();
        });
        return;
    }
    while (m_nextEvent < m_plan.events.size()) {
        if (m_socket->bytesToWrite() > maxBuffered)
            return; // bytesWritten resumes
        QByteArray batch;
        while (m_nextEvent < m_plan.events.size() && batch.size() < maxChunkBytes)
            batch += m_plan.events.at(m_nextEvent++);
        writeChunk(batch);
    }
    finishStream();
}

void HttpConnection::writeChunk(const QByteArray &data)
{
    m_socket->write(QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n");
}

void HttpConnection::finishStream()
{
    switch (m_plan.ending) {
    case StreamPlan::Ending::Done:
        writeChunk(m_plan.finalEvents());
        m_socket->write("0\r\n\r\n");
        m_streaming = false;
        m_plan = StreamPlan();
        readRequests(); // a request may already be waiting on this connection
        break;
    case StreamPlan::Ending::Cut:
        m_socket->write("0\r\n\r\n");
        m_streaming = false;
        m_socket->disconnectFromHost();
        break;
    case StreamPlan::Ending::Hold:
        break;
    case StreamPlan::Ending::Crash:
        // Die a moment after the last event, as an engine does when it fails while generating.
        m_socket->flush();
        QTimer::singleShot(100, [] { ::_exit(134); });
        break;
    }
}
