// fake-llama-server: answers like llama.cpp's llama-server on the command line the app uses,
// scripted by the JSON file named in MORLO_FAKE_ENGINE_SCRIPT (without one: healthy at once, greets).
// Start, from the script or on launch n from its "starts"[n-1] (the last repeats): "loadMs" of 503
// on /health, "hang" (never listens), "ignoreSigterm", "stderr" and "stdoutBytes" written at start,
// "exitAfterMs" then exit "exitCode" (default 1) or die of "signal" ("SIGBUS", "SIGSEGV").
// "launchLog" gets one JSON line per launch {"argv", "libraryPath" (DYLD_LIBRARY_PATH), "pid"};
// "requestLog" each POST body. "replies" answer chat requests in order, the last repeating; one
// with "whenTools" answers with that object a request offering tools and is skipped by others.
// A reply is a plain answer ("status" with a JSON "body" or a text "rawBody") or a stream of
// "chunks", "repeat" times "chunk", "toolCalls" ({"index","id","name","arguments"}, those given)
// and raw "lines" (the rest of the stream); it ends with an "error" event, "cut", "hold", "crash"
// (exit 134) or a final chunk and [DONE]. "delayMs" paces events; "engine": "recent" opens with a
// role-only chunk and reports no usage; "tokensPerSecond" (default 1000, 0: none) goes in timings.
// The key in LLAMA_API_KEY guards every endpoint but /health and /v1/models.
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

struct Script
{
    QJsonObject start;
    QJsonArray replies;
    QString requestLog;
    QByteArray apiKey = qgetenv("LLAMA_API_KEY");
    QElapsedTimer sinceStart;
    qsizetype nextReply = 0;
} script;

void appendLine(const QString &path, const QByteArray &line)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(line + '\n');
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

void loadScript(const QStringList &argv)
{
    script.sinceStart.start();
    const QString path = qEnvironmentVariable("MORLO_FAKE_ENGINE_SCRIPT");
    if (path.isEmpty())
        return;
    QFile file(path);
    const QJsonObject root = file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
    // Launches are counted on disk, so that a restarted engine can behave differently.
    QFile counter(path + QStringLiteral(".launches"));
    const int launch = counter.open(QIODevice::ReadWrite) ? counter.readAll().trimmed().toInt() + 1 : 1;
    counter.seek(0);
    counter.write(QByteArray::number(launch));
    counter.close();

    const QJsonArray starts = root.value("starts").toArray();
    script.start = starts.isEmpty() ? root : starts.at(qMin<qsizetype>(launch, starts.size()) - 1).toObject();
    script.replies = root.value("replies").toArray();
    script.requestLog = root.value("requestLog").toString();
    const QString launchLog = root.value("launchLog").toString();
    if (!launchLog.isEmpty())
        appendLine(launchLog, compact({{"argv", QJsonArray::fromStringList(argv)},
                                       {"libraryPath", qEnvironmentVariable("DYLD_LIBRARY_PATH")},
                                       {"pid", QCoreApplication::applicationPid()}}));
}

QJsonObject nextReply(bool requestHasTools)
{
    while (script.nextReply < script.replies.size()) {
        const bool isLast = script.nextReply == script.replies.size() - 1;
        const QJsonObject reply = script.replies.at(isLast ? script.nextReply : script.nextReply++).toObject();
        if (!reply.contains("whenTools"))
            return reply;
        if (requestHasTools)
            return reply.value("whenTools").toObject();
        if (isLast)
            break;
    }
    return {{"chunks", QJsonArray{"Hello", " from", " the", " fake", " engine."}}};
}

// One streamed chunk with the fields the real engine puts around it, which clients must ignore.
QByteArray chunkEvent(const QJsonObject &delta, const QJsonValue &finishReason = QJsonValue::Null,
                      const QJsonObject &extra = {})
{
    QJsonObject chunk{{"choices", QJsonArray{QJsonObject{{"index", 0}, {"finish_reason", finishReason}, {"delta", delta}}}},
                      {"created", QDateTime::currentSecsSinceEpoch()}, {"id", "chatcmpl-fake"}, {"model", "local"},
                      {"system_fingerprint", "b4748-fake"}, {"object", "chat.completion.chunk"}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        chunk.insert(it.key(), it.value());
    return "data: " + compact(chunk) + "\n\n";
}

QByteArray toolCallEvent(const QJsonObject &scripted)
{
    QJsonObject call{{"type", "function"}}, function;
    for (const char *key : {"index", "id"})
        if (scripted.contains(key))
            call.insert(key, scripted.value(key));
    for (const char *key : {"name", "arguments"})
        if (scripted.contains(key))
            function.insert(key, scripted.value(key));
    call.insert("function", function);
    return chunkEvent({{"tool_calls", QJsonArray{call}}});
}

// One client connection: requests may follow each other on it; streams use chunked transfer.
class Connection : public QObject
{
public:
    explicit Connection(QTcpSocket *socket) : QObject(socket), m_socket(socket)
    {
        connect(socket, &QTcpSocket::readyRead, this, &Connection::readRequests);
        connect(socket, &QTcpSocket::bytesWritten, this, [this] {
            if (m_streaming && !m_waiting)
                pump();
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

private:
    enum class Ending { Done, Cut, Hold, Crash };

    void readRequests()
    {
        m_input += m_socket->readAll();
        while (!m_streaming) {
            const qsizetype headEnd = m_input.indexOf("\r\n\r\n");
            if (headEnd < 0)
                return;
            const QList<QByteArray> lines = m_input.left(headEnd).split('\n');
            qsizetype length = 0;
            QByteArray authorization;
            for (const QByteArray &line : lines.mid(1)) {
                const QByteArray name = line.left(line.indexOf(':')).trimmed().toLower();
                const QByteArray value = line.mid(line.indexOf(':') + 1).trimmed();
                if (name == "content-length")
                    length = value.toLongLong();
                else if (name == "authorization")
                    authorization = value;
            }
            if (m_input.size() < headEnd + 4 + length)
                return;
            const QList<QByteArray> request = lines.value(0).trimmed().split(' ');
            const QByteArray body = m_input.mid(headEnd + 4, length);
            m_input.remove(0, headEnd + 4 + length);
            handle(request.value(0), request.value(1), authorization, body);
        }
    }

    void handle(const QByteArray &method, const QByteArray &path, const QByteArray &authorization, const QByteArray &body)
    {
        const bool open = path == "/health" || path == "/v1/models";
        if (!open && !script.apiKey.isEmpty() && authorization != "Bearer " + script.apiKey)
            return sendError(401, "Invalid API Key", "authentication_error");
        if (method == "POST" && !script.requestLog.isEmpty()) {
            const QJsonDocument document = QJsonDocument::fromJson(body);
            appendLine(script.requestLog, document.isObject() ? compact(document.object()) : QByteArray("null"));
        }
        if (method == "GET" && path == "/health") {
            if (script.sinceStart.elapsed() >= script.start.value("loadMs").toInteger(0))
                send(200, "application/json", R"({"status":"ok"})");
            else
                sendError(503, "Loading model", "unavailable_error");
        } else if (method == "GET" && path == "/v1/models") {
            send(200, "application/json", R"({"object":"list","data":[{"id":"fake-model","object":"model"}]})");
        } else if (method == "POST" && path == "/v1/chat/completions") {
            answerChat(body);
        } else {
            sendError(404, "File Not Found", "not_found_error");
        }
    }

    void answerChat(const QByteArray &body)
    {
        QJsonParseError error;
        const QJsonObject request = QJsonDocument::fromJson(body, &error).object();
        if (error.error != QJsonParseError::NoError)
            return sendError(500, "[json.exception.parse_error.101] parse error: " + error.errorString(), "server_error");
        const QJsonObject reply = nextReply(request.contains("tools"));
        const int status = reply.value("status").toInt(200);
        if (reply.contains("body"))
            return send(status, "application/json", compact(reply.value("body").toObject()));
        if (reply.contains("rawBody") || status != 200)
            return send(status, "text/plain", reply.value("rawBody").toString().toUtf8());

        m_events.clear();
        m_next = 0;
        m_delayMs = reply.value("delayMs").toInt();
        const bool recent = reply.value("engine").toString() == QLatin1String("recent");
        if (recent)
            m_events << chunkEvent({{"role", "assistant"}, {"content", QJsonValue::Null}});
        for (const QJsonValue &text : reply.value("chunks").toArray())
            m_events << chunkEvent({{"content", text}});
        // Identical events share one buffer, so even very long replies cost little memory here.
        if (const int count = reply.value("repeat").toInt(); count > 0) {
            const QByteArray repeated = chunkEvent({{"content", reply.value("chunk")}});
            for (int i = 0; i < count; ++i)
                m_events << repeated;
        }
        const QJsonArray toolCalls = reply.value("toolCalls").toArray();
        for (const QJsonValue &call : toolCalls)
            m_events << toolCallEvent(call.toObject());
        for (const QJsonValue &line : reply.value("lines").toArray())
            m_events << line.toString().toUtf8() + "\n\n";
        if (reply.contains("error"))
            m_events << "data: " + compact({{"error", reply.value("error")}}) + "\n\n";
        m_ending = reply.contains("lines") || reply.contains("error") || reply.value("cut").toBool() ? Ending::Cut
                 : reply.value("crash").toBool() ? Ending::Crash : reply.value("hold").toBool() ? Ending::Hold : Ending::Done;
        if (m_ending == Ending::Done) {
            QJsonObject extra;
            const qsizetype tokens = m_events.size();
            if (!recent)
                extra.insert("usage", QJsonObject{{"completion_tokens", tokens}, {"prompt_tokens", 12}, {"total_tokens", tokens + 12}});
            if (const double speed = reply.value("tokensPerSecond").toDouble(1000.0); speed > 0)
                extra.insert("timings", QJsonObject{{"prompt_n", 12}, {"predicted_n", tokens}, {"predicted_per_second", speed}});
            m_events << chunkEvent({}, toolCalls.isEmpty() ? "stop" : "tool_calls", extra) + "data: [DONE]\n\n";
        }
        m_socket->write("HTTP/1.1 200 OK\r\nServer: llama.cpp\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n");
        m_streaming = true;
        pump();
    }

    void send(int status, const QByteArray &type, const QByteArray &body)
    {
        static const QHash<int, QByteArray> reasons{{200, "OK"}, {400, "Bad Request"}, {401, "Unauthorized"}, {404, "Not Found"},
                                                    {500, "Internal Server Error"}, {503, "Service Unavailable"}};
        m_socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reasons.value(status, "Status") + "\r\nServer: llama.cpp\r\nContent-Type: " + type
                        + "; charset=utf-8\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    }

    void sendError(int status, const QString &message, const QString &type)
    {
        send(status, "application/json", compact({{"error", QJsonObject{{"code", status}, {"message", message}, {"type", type}}}}));
    }

    void writeChunk(const QByteArray &data) { m_socket->write(QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n"); }

    void pump()
    {
        if (m_delayMs > 0 && m_next < m_events.size()) {
            // Set first: flushing may report bytesWritten at once, which must not send the next event.
            m_waiting = true;
            writeChunk(m_events.at(m_next++));
            m_socket->flush();
            QTimer::singleShot(m_delayMs, this, [this] {
                m_waiting = false;
                pump();
            });
            return;
        }
        // A slow reader slows the stream rather than this fake buffering a whole long reply.
        while (m_next < m_events.size()) {
            if (m_socket->bytesToWrite() > 256 * 1024)
                return; // bytesWritten resumes
            QByteArray batch;
            while (m_next < m_events.size() && batch.size() < 64 * 1024)
                batch += m_events.at(m_next++);
            writeChunk(batch);
        }
        if (m_ending == Ending::Hold)
            return;
        if (m_ending == Ending::Crash) {
            // Dies a moment after the last event, as an engine that fails while generating.
            m_socket->flush();
            QTimer::singleShot(100, [] { ::_exit(134); });
            return;
        }
        m_socket->write("0\r\n\r\n");
        m_streaming = false;
        if (m_ending == Ending::Cut)
            return m_socket->disconnectFromHost();
        readRequests(); // a request may already be waiting on this connection
    }

    QTcpSocket *m_socket;
    QByteArray m_input;
    bool m_streaming = false, m_waiting = false;
    QList<QByteArray> m_events;
    qsizetype m_next = 0;
    int m_delayMs = 0;
    Ending m_ending = Ending::Done;
};

void writeAll(int fd, const QByteArray &data)
{
    for (qsizetype done = 0, n = 0; done < data.size(); done += n) {
        n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n <= 0)
            return;
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // Scripted crashes leave no core files behind.
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    const QStringList args = app.arguments();
    loadScript(args);
    const QJsonObject &start = script.start;
    std::signal(SIGTERM, start.value("ignoreSigterm").toBool() ? SIG_IGN : +[](int) { ::_exit(0); });

    QTcpServer server;
    if (!start.value("hang").toBool()) {
        const auto option = [&](const char *name, const char *fallback) {
            const qsizetype at = args.indexOf(QLatin1String(name));
            return at >= 0 && at + 1 < args.size() ? args.at(at + 1) : QString::fromLatin1(fallback);
        };
        const QHostAddress host(option("--host", "127.0.0.1"));
        const quint16 port = option("--port", "8080").toUShort();
        if (!server.listen(host, port)) {
            writeAll(STDERR_FILENO, "couldn't bind HTTP server socket, hostname: " + host.toString().toUtf8()
                                        + ", port: " + QByteArray::number(port) + "\n");
            return 1;
        }
        QObject::connect(&server, &QTcpServer::newConnection, &server, [&server] {
            while (QTcpSocket *socket = server.nextPendingConnection())
                new Connection(socket);
        });
    }

    writeAll(STDERR_FILENO, start.value("stderr").toString().toUtf8());
    const qint64 stdoutBytes = start.value("stdoutBytes").toInteger(0);
    const QByteArray logLine = QByteArray(79, 'l') + '\n';
    for (qint64 written = 0; written < stdoutBytes; written += logLine.size())
        writeAll(STDOUT_FILENO, logLine.left(stdoutBytes - written));

    if (start.contains("exitAfterMs")) {
        QTimer::singleShot(start.value("exitAfterMs").toInt(), [&start] {
            const QString name = start.value("signal").toString();
            if (const int signal = name == QLatin1String("SIGBUS") ? SIGBUS : name == QLatin1String("SIGSEGV") ? SIGSEGV : 0) {
                std::signal(signal, SIG_DFL);
                std::raise(signal);
            }
            ::_exit(start.value("exitCode").toInt(1));
        });
    }
    return app.exec();
}
