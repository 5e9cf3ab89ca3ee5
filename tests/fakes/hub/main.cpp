// fake-hub [--repos repos.json]: the model hub on 127.0.0.1 (a free port; prints "port <n>" once
// it listens). Byte i of every file is i % 251, its first four "GGUF" where the file is a model.
//   GET [script/]<owner>/<name>/resolve/main/<file>   a generated file ("bytes=<first>-" ranges)
//   GET /api/models/<owner>/<name>[/tree/main]        repository "siblings" [files with size, lfs.oid]
//   GET /api/models?search=<q>&…                      repositories named with <q>, most downloaded first
// The optional first segment scripts the answers on its connection, as "key=value,flag,…": size=N
// (default 1 MiB), rate=N bytes/s, stall=N (stop sending, stay open), cut (close after half),
// cutat=N, extra=N bytes beyond the announced length, nolength, norange, gguf, status=N or 404
// (with the hub's JSON error body).
// repos.json: {"owner/name": {"files": [{"name": "x-Q4_K_M.gguf", "size": 4096}], "downloads": 10,
// "token": "secret"}}; with it only those repositories exist, their files are models, and one with
// a token answers 401 to anyone who does not send it as a bearer token.
// Each answer ends with "served <path> <body bytes>" on standard output, for counting the wire.
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>
#include <algorithm>
#include <cstdio>

namespace {

constexpr int period = 251;
constexpr qint64 chunkBytes = 256 * 1024;
constexpr int rateTickMs = 10;
const QByteArray ggufMagic = "GGUF";
QJsonObject repos;

// The content repeats every 251 bytes, so any slice is a view into one precomputed buffer.
const QByteArray &pattern()
{
    static const QByteArray bytes = [] {
        QByteArray b(chunkBytes + period, Qt::Uninitialized);
        for (qsizetype i = 0; i < b.size(); ++i)
            b[i] = char(i % period);
        return b;
    }();
    return bytes;
}

QByteArray content(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = i < 4 ? ggufMagic[i] : char(i % period);
    return bytes;
}

struct Script
{
    qint64 size = 1024 * 1024, rate = 0, stallAfter = -1, cutAt = -1, extra = 0;
    bool noLength = false, cut = false, noRange = false, magic = false;
    int status = 0;

    // Applies "key=value,flag,…"; false when the text is not a script.
    bool apply(const QByteArray &text)
    {
        for (const QByteArray &item : text.split(',')) {
            const qsizetype equals = item.indexOf('=');
            const QByteArray key = equals < 0 ? item : item.left(equals), value = equals < 0 ? QByteArray() : item.mid(equals + 1);
            bool ok = true;
            qint64 *number = key == "size" ? &size : key == "rate" ? &rate : key == "stall" ? &stallAfter
                           : key == "extra" ? &extra : key == "cutat" ? &cutAt : nullptr;
            bool *flag = key == "nolength" ? &noLength : key == "cut" ? &cut : key == "norange" ? &noRange
                       : key == "gguf" ? &magic : nullptr;
            if (number)
                *number = value.toLongLong(&ok);
            else if (flag)
                *flag = true;
            else if (key == "status" || key == "404")
                status = key == "404" ? 404 : value.toInt(&ok);
            else
                return false;
            if (!ok)
                return false;
        }
        return true;
    }
};

class Connection : public QObject
{
public:
    explicit Connection(QTcpSocket *socket) : QObject(socket), m_socket(socket)
    {
        connect(socket, &QTcpSocket::readyRead, this, &Connection::readRequest);
        connect(socket, &QTcpSocket::disconnected, this, [this] {
            if (!m_path.isEmpty())
                std::printf("served %s %lld\n", m_path.constData(), static_cast<long long>(m_sent - m_offset));
            std::fflush(stdout);
            m_socket->deleteLater();
        });
        connect(socket, &QTcpSocket::bytesWritten, this, [this] {
            if (m_script.rate == 0)
                pump();
        });
        connect(&m_rateTimer, &QTimer::timeout, this, &Connection::pump);
    }

private:
    QByteArray header(const QByteArray &name) const
    {
        for (const QByteArray &line : m_request.split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().toLower() == name)
                return line.mid(colon + 1).trimmed();
        }
        return {};
    }

    void readRequest()
    {
        if (m_responding) {
            m_socket->readAll();
            return;
        }
        m_request += m_socket->readAll();
        if (!m_request.contains("\r\n\r\n"))
            return;
        m_responding = true;
        m_path = m_request.left(m_request.indexOf("\r\n")).split(' ').value(1);
        const qsizetype question = m_path.indexOf('?');
        const QByteArray path = question < 0 ? m_path : m_path.left(question);
        QList<QByteArray> segments = path.split('/');
        segments.removeAll(QByteArray());
        Script scripted = m_script;
        if (!segments.isEmpty() && segments.first() != "api" && scripted.apply(segments.first())) {
            m_script = scripted;
            segments.removeFirst();
        }
        if (m_script.status != 0)
            return sendError(m_script.status, segments.join('/'));
        if (segments.value(0) == "api")
            return respondApi(segments.mid(1), question < 0 ? QByteArray() : m_path.mid(question + 1));
        if (segments.size() != 5 || segments[2] != "resolve" || segments[3] != "main")
            return sendError(404, path);
        const QString name = QString::fromUtf8(segments[0] + '/' + segments[1]);
        if (repos.isEmpty())
            return sendFile(m_script.size);
        const QJsonObject repo = repos.value(name).toObject();
        if (!repos.contains(name) || !authorized(repo))
            return sendError(repos.contains(name) ? 401 : 404, name.toUtf8());
        for (const QJsonValue &file : repo.value("files").toArray()) {
            if (file.toObject().value("name").toString().toUtf8() == segments[4]) {
                m_script.magic = true;
                return sendFile(file.toObject().value("size").toInteger());
            }
        }
        sendError(404, "/resolve/");
    }

    bool authorized(const QJsonObject &repo) const
    {
        const QString token = repo.value("token").toString();
        return token.isEmpty() || header("authorization") == "Bearer " + token.toUtf8();
    }

    void respondApi(const QList<QByteArray> &segments, const QByteArray &query)
    {
        if (segments.size() == 1 && segments[0] == "models") {
            const QString search = QUrlQuery(QString::fromUtf8(query)).queryItemValue("search", QUrl::FullyDecoded);
            QList<QJsonObject> found;
            for (auto it = repos.constBegin(); it != repos.constEnd(); ++it) {
                const QJsonObject repo = it.value().toObject();
                if (it.key().contains(search, Qt::CaseInsensitive))
                    found.append(QJsonObject{{"id", it.key()}, {"downloads", repo.value("downloads").toInt()}, {"likes", repo.value("likes").toInt()}});
            }
            std::stable_sort(found.begin(), found.end(), [](const QJsonObject &a, const QJsonObject &b) {
                return a.value("downloads").toInt() > b.value("downloads").toInt();
            });
            QJsonArray list;
            for (const QJsonObject &entry : found.mid(0, 20))
                list.append(entry);
            return sendJson(200, QJsonDocument(list).toJson(QJsonDocument::Compact));
        }
        const bool isTree = segments.size() == 5 && segments[3] == "tree" && segments[4] == "main";
        if (segments.value(0) != "models" || (segments.size() != 3 && !isTree))
            return sendError(404, segments.join('/'));
        const QString name = QString::fromUtf8(segments[1] + '/' + segments[2]);
        const QJsonObject repo = repos.value(name).toObject();
        if (!repos.contains(name) || !authorized(repo))
            return sendError(repos.contains(name) ? 401 : 404, name.toUtf8());
        QJsonArray listing;
        for (const QJsonValue &value : repo.value("files").toArray()) {
            const QJsonObject file = value.toObject();
            const qint64 size = file.value("size").toInteger();
            const QString sha = QString::fromLatin1(QCryptographicHash::hash(content(size), QCryptographicHash::Sha256).toHex());
            listing.append(isTree ? QJsonObject{{"type", "file"}, {"path", file.value("name")}, {"size", size},
                                                {"lfs", QJsonObject{{"oid", sha}, {"size", size}}}}
                                  : QJsonObject{{"rfilename", file.value("name")}});
        }
        sendJson(200, isTree ? QJsonDocument(listing).toJson(QJsonDocument::Compact)
                             : QJsonDocument(QJsonObject{{"id", name}, {"gated", repo.contains("token")}, {"siblings", listing}})
                                   .toJson(QJsonDocument::Compact));
    }

    void sendJson(int status, const QByteArray &json)
    {
        static const QHash<int, QByteArray> reasons{{200, "OK"}, {401, "Unauthorized"}, {403, "Forbidden"}, {404, "Not Found"},
                                                    {416, "Range Not Satisfiable"}, {429, "Too Many Requests"}};
        m_socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reasons.value(status, "Error") + "\r\nContent-Type: application/json\r\n"
                        "Content-Length: " + QByteArray::number(json.size()) + "\r\nConnection: close\r\n\r\n" + json);
        finish();
    }

    // With the hub's own wording for its refusals.
    void sendError(int status, const QByteArray &what)
    {
        const QByteArray message = status == 401 ? QByteArray("Invalid username or password.")
            : status == 403 ? "Access to model " + what + " is restricted. You must be authenticated to access it."
            : status == 404 ? QByteArray(what.contains("/resolve/") ? "Entry not found" : "Repository not found")
            : QByteArray(status == 429 ? "You have been rate-limited; you can retry this action in about 5 minutes." : "Internal Error");
        sendJson(status, QJsonDocument(QJsonObject{{"error", QString::fromUtf8(message)}}).toJson(QJsonDocument::Compact));
    }

    void sendFile(qint64 size)
    {
        const QByteArray range = header("range");
        const qint64 first = !m_script.noRange && range.startsWith("bytes=") && range.endsWith('-') ? range.mid(6).chopped(1).toLongLong() : 0;
        if (first > size)
            return sendError(416, "");
        QByteArray head = first > 0 ? "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + QByteArray::number(first) + '-'
                                          + QByteArray::number(size - 1) + '/' + QByteArray::number(size) + "\r\n"
                                    : QByteArray("HTTP/1.1 200 OK\r\n");
        head += "Content-Type: application/octet-stream\r\nAccept-Ranges: bytes\r\n";
        if (!m_script.noLength)
            head += "Content-Length: " + QByteArray::number(size - first) + "\r\n";
        m_socket->write(head + "Connection: close\r\n\r\n");
        m_offset = m_sent = first;
        m_limit = m_script.cut ? size / 2 : size + m_script.extra;
        for (const qint64 stop : {m_script.cutAt, m_script.stallAfter})
            if (stop >= 0)
                m_limit = std::min(m_limit, stop);
        m_limit = std::max(m_limit, first);
        m_stalls = m_script.stallAfter >= 0 && m_script.stallAfter < size + m_script.extra;
        if (m_script.rate > 0)
            m_rateTimer.start(rateTickMs);
        pump();
    }

    void pump()
    {
        if (!m_responding)
            return;
        qint64 budget = m_script.rate > 0 ? std::max<qint64>(1, m_script.rate * rateTickMs / 1000) : 1024 * 1024 - m_socket->bytesToWrite();
        while (budget > 0 && m_sent < m_limit) {
            const qint64 n = std::min({budget, chunkBytes, m_limit - m_sent});
            const qint64 head = m_script.magic ? std::clamp<qint64>(ggufMagic.size() - m_sent, 0, n) : 0;
            m_socket->write(ggufMagic.constData() + std::min<qint64>(m_sent, ggufMagic.size()), head);
            m_socket->write(pattern().constData() + (m_sent + head) % period, n - head);
            m_sent += n;
            budget -= n;
        }
        // A stalled answer keeps its connection open and silent until the client gives up.
        if (m_sent >= m_limit && !m_stalls)
            finish();
        else if (m_sent >= m_limit)
            m_rateTimer.stop();
    }

    void finish()
    {
        m_responding = false;
        m_rateTimer.stop();
        m_socket->disconnectFromHost();
    }

    QTcpSocket *m_socket;
    Script m_script;
    QByteArray m_request, m_path;
    qint64 m_offset = 0; // of the first byte sent, in the file
    qint64 m_sent = 0;   // bytes of the file sent, counted from its start
    qint64 m_limit = 0;  // offset in the file at which this answer stops
    bool m_responding = false, m_stalls = false;
    QTimer m_rateTimer;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3 && args[1] == QLatin1String("--repos")) {
        QFile file(args[2]);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(args[2]));
            return 2;
        }
        repos = QJsonDocument::fromJson(file.readAll()).object();
    }
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "cannot listen: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server] {
        while (QTcpSocket *socket = server.nextPendingConnection())
            new Connection(socket);
    });
    std::printf("port %u\n", server.serverPort());
    std::fflush(stdout);
    return app.exec();
}
