#include "HubConnection.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QUrlQuery>
#include <algorithm>
#include <cstdio>

namespace {
constexpr int period = 251;
constexpr qint64 chunkBytes = 256 * 1024;
constexpr qint64 socketBacklog = 1024 * 1024;
constexpr int rateTickMs = 10;
const QByteArray ggufMagic = "GGUF";

// The content repeats every 251 bytes, so any slice is a view into one precomputed buffer.
const QByteArray &pattern()
{
    static const QByteArray bytes = [] {
        QByteArray b(chunkBytes + period, Qt::Uninitialized);
        for (qsizetype i = 0; i < b.size(); ++i)
            b[i] = static_cast<char>(i % period);
        return b;
    }();
    return bytes;
}

QByteArray reasonOf(int status)
{
    switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 429: return "Too Many Requests";
    default: return "Error";
    }
}

// The hub's own wording for its refusals.
QByteArray hubMessage(int status, const QByteArray &what)
{
    switch (status) {
    case 401: return "Invalid username or password.";
    case 403: return "Access to model " + what + " is restricted. You must be authenticated to access it.";
    case 404: return what.contains("/resolve/") ? "Entry not found" : "Repository not found";
    case 429: return "You have been rate-limited; you can retry this action in about 5 minutes.";
    default: return "Internal Error";
    }
}
} // namespace

bool HubScript::apply(const QByteArray &text)
{
    for (const QByteArray &item : text.split(',')) {
        const qsizetype eq = item.indexOf('=');
        const QByteArray key = eq < 0 ? item : item.left(eq);
        const QByteArray value = eq < 0 ? QByteArray() : item.mid(eq + 1);
        bool ok = true;
        if (key == "size")
            size = value.toLongLong(&ok);
        else if (key == "rate")
            rate = value.toLongLong(&ok);
        else if (key == "stall")
            stallAfter = value.toLongLong(&ok);
        else if (key == "extra")
            extra = value.toLongLong(&ok);
        else if (key == "cutat")
            cutAt = value.toLongLong(&ok);
        else if (key == "status")
            status = value.toInt(&ok);
        else if (key == "nolength")
            noLength = true;
        else if (key == "cut")
            cut = true;
        else if (key == "norange")
            noRange = true;
        else if (key == "gguf")
            magic = true;
        else if (key == "404")
            status = 404;
        else
            return false;
        if (!ok)
            return false;
    }
    return true;
}

QByteArray HubRepos::content(qint64 size, bool magic)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = magic && i < 4 ? ggufMagic[i] : static_cast<char>(i % period);
    return bytes;
}

HubConnection::HubConnection(QTcpSocket *socket, const HubScript &defaults, const HubRepos &repos,
                             QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_script(defaults)
    , m_repos(repos)
{
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, &HubConnection::readRequest);
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        if (!m_path.isEmpty())
            std::printf("served %s %lld\n", m_path.constData(), static_cast<long long>(m_sent - m_offset));
        std::fflush(stdout);
        deleteLater();
    });
    connect(socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_script.rate == 0)
            pump();
    });
    connect(&m_rateTimer, &QTimer::timeout, this, &HubConnection::pump);
}

QByteArray HubConnection::header(const QByteArray &name) const
{
    for (const QByteArray &line : m_request.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name)
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

void HubConnection::readRequest()
{
    if (m_responding) {
        m_socket->readAll();
        return;
    }
    m_request += m_socket->readAll();
    if (!m_request.contains("\r\n\r\n"))
        return;
    m_responding = true;
    const QList<QByteArray> requestLine = m_request.left(m_request.indexOf("\r\n")).split(' ');
    m_path = requestLine.value(1);
    respond(m_path);
}

void HubConnection::respond(const QByteArray &target)
{
    const qsizetype question = target.indexOf('?');
    const QByteArray path = question < 0 ? target : target.left(question);
    const QByteArray query = question < 0 ? QByteArray() : target.mid(question + 1);
    QList<QByteArray> segments = path.split('/');
    segments.removeAll(QByteArray());
    // An optional first segment scripts this one answer.
    HubScript scripted = m_script;
    if (!segments.isEmpty() && segments.first() != "api" && scripted.apply(segments.first())) {
        m_script = scripted;
        segments.removeFirst();
    }
    if (m_script.status != 0) {
        sendError(m_script.status, segments.join('/'));
        return;
    }
    if (!segments.isEmpty() && segments.first() == "api") {
        respondApi(segments.mid(1), query);
        return;
    }
    // owner / name / resolve / main / file
    if (segments.size() != 5 || segments[2] != "resolve" || segments[3] != "main") {
        sendError(404, path);
        return;
    }
    const QString repoName = QString::fromUtf8(segments[0] + '/' + segments[1]);
    // Without a repository list every address is a generated file; with one, only its files.
    if (!m_repos.repos.isEmpty()) {
        if (!m_repos.repos.contains(repoName)) {
            sendError(404, repoName.toUtf8());
            return;
        }
        const QString token = m_repos.repos.value(repoName).toObject().value(QStringLiteral("token")).toString();
        if (!token.isEmpty() && header("authorization") != "Bearer " + token.toUtf8()) {
            sendError(401, path);
            return;
        }
    }
    sendFile(m_repos.repos.value(repoName).toObject(), segments[4]);
}

void HubConnection::respondApi(const QList<QByteArray> &segments, const QByteArray &query)
{
    // models / owner / name [/ tree / main]
    if (segments.size() == 1 && segments[0] == "models") {
        const QString search = QUrlQuery(QString::fromUtf8(query)).queryItemValue(QStringLiteral("search"), QUrl::FullyDecoded);
        QList<QJsonObject> found;
        for (auto it = m_repos.repos.begin(); it != m_repos.repos.end(); ++it) {
            if (!it.key().contains(search, Qt::CaseInsensitive))
                continue;
            const QJsonObject repo = it.value().toObject();
            found.append(QJsonObject{{QStringLiteral("id"), it.key()},
                                     {QStringLiteral("downloads"), repo.value(QStringLiteral("downloads")).toInt()},
                                     {QStringLiteral("likes"), repo.value(QStringLiteral("likes")).toInt()}});
        }
        std::stable_sort(found.begin(), found.end(), [](const QJsonObject &a, const QJsonObject &b) {
            return a.value(QStringLiteral("downloads")).toInt() > b.value(QStringLiteral("downloads")).toInt();
        });
        QJsonArray list;
        for (const QJsonObject &entry : found.mid(0, 20))
            list.append(entry);
        sendJson(200, QJsonDocument(list).toJson(QJsonDocument::Compact));
        return;
    }
    const bool isTree = segments.size() == 5 && segments[3] == "tree" && segments[4] == "main";
    if (segments.value(0) != "models" || (segments.size() != 3 && !isTree)) {
        sendError(404, segments.join('/'));
        return;
    }
    const QString repoName = QString::fromUtf8(segments[1] + '/' + segments[2]);
    if (!m_repos.repos.contains(repoName)) {
        sendError(404, repoName.toUtf8());
        return;
    }
    const QJsonObject repo = m_repos.repos.value(repoName).toObject();
    const QString token = repo.value(QStringLiteral("token")).toString();
    if (!token.isEmpty() && header("authorization") != "Bearer " + token.toUtf8()) {
        sendError(401, repoName.toUtf8());
        return;
    }
    QJsonArray listing;
    for (const QJsonValue &value : repo.value(QStringLiteral("files")).toArray()) {
        const QJsonObject file = value.toObject();
        const QString name = file.value(QStringLiteral("name")).toString();
        const qint64 size = file.value(QStringLiteral("size")).toInteger();
        if (!isTree) {
            listing.append(QJsonObject{{QStringLiteral("rfilename"), name}});
            continue;
        }
        const QByteArray sha = QCryptographicHash::hash(HubRepos::content(size, true), QCryptographicHash::Sha256).toHex();
        listing.append(QJsonObject{
            {QStringLiteral("type"), QStringLiteral("file")},
            {QStringLiteral("path"), name},
            {QStringLiteral("size"), size},
            {QStringLiteral("lfs"), QJsonObject{{QStringLiteral("oid"), QString::fromLatin1(sha)},
                                                {QStringLiteral("size"), size}}}});
    }
    if (isTree) {
        sendJson(200, QJsonDocument(listing).toJson(QJsonDocument::Compact));
        return;
    }
    sendJson(200, QJsonDocument(QJsonObject{{QStringLiteral("id"), repoName},
                                            {QStringLiteral("gated"), !token.isEmpty()},
                                            {QStringLiteral("siblings"), listing}})
                      .toJson(QJsonDocument::Compact));
}

void HubConnection::sendJson(int status, const QByteArray &json)
{
    m_socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonOf(status)
                    + "\r\nContent-Type: application/json\r\nContent-Length: "
                    + QByteArray::number(json.size()) + "\r\nConnection: close\r\n\r\n" + json);
    finish();
}

void HubConnection::sendError(int status, const QByteArray &what)
{
    sendJson(status, QJsonDocument(QJsonObject{{QStringLiteral("error"), QString::fromUtf8(hubMessage(status, what))}})
                         .toJson(QJsonDocument::Compact));
}

void HubConnection::sendFile(const QJsonObject &repo, const QByteArray &file)
{
    qint64 size = m_script.size;
    if (!repo.isEmpty()) {
        bool known = false;
        for (const QJsonValue &value : repo.value(QStringLiteral("files")).toArray()) {
            if (value.toObject().value(QStringLiteral("name")).toString().toUtf8() == file) {
                size = value.toObject().value(QStringLiteral("size")).toInteger();
                known = true;
            }
        }
        if (!known) {
            sendError(404, "/resolve/");
            return;
        }
        m_script.magic = true;
    }
    // "bytes=<first>-": the rest of the file from there.
    const QByteArray range = header("range");
    qint64 first = 0;
    if (!m_script.noRange && range.startsWith("bytes=") && range.endsWith('-'))
        first = range.mid(6, range.size() - 7).toLongLong();
    if (first > size) {
        sendError(416, "");
        return;
    }
    QByteArray head = first > 0 ? "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes "
                                      + QByteArray::number(first) + '-' + QByteArray::number(size - 1) + '/'
                                      + QByteArray::number(size) + "\r\n"
                                : QByteArray("HTTP/1.1 200 OK\r\n");
    head += "Content-Type: application/octet-stream\r\nAccept-Ranges: bytes\r\n";
    if (!m_script.noLength)
        head += "Content-Length: " + QByteArray::number(size - first) + "\r\n";
    head += "Connection: close\r\n\r\n";
    m_socket->write(head);

    m_offset = first;
    m_sent = first;
    m_limit = size + m_script.extra;
    if (m_script.cut)
        m_limit = size / 2;
    if (m_script.cutAt >= 0)
        m_limit = std::min(m_limit, m_script.cutAt);
    if (m_script.stallAfter >= 0)
        m_limit = std::min(m_limit, m_script.stallAfter);
    m_limit = std::max(m_limit, first);
    if (m_script.rate > 0)
        m_rateTimer.start(rateTickMs);
    pump();
}

void HubConnection::pump()
{
    if (!m_responding)
        return;
    qint64 budget = m_script.rate > 0 ? std::max<qint64>(1, m_script.rate * rateTickMs / 1000)
                                      : socketBacklog - m_socket->bytesToWrite();
    while (budget > 0 && m_sent < m_limit) {
        const qint64 n = std::min({budget, chunkBytes, m_limit - m_sent});
        if (m_script.magic && m_sent < ggufMagic.size()) {
            const qint64 head = std::min<qint64>(n, ggufMagic.size() - m_sent);
            m_socket->write(ggufMagic.constData() + m_sent, head);
            m_socket->write(pattern().constData() + (m_sent + head) % period, n - head);
        } else {
            m_socket->write(pattern().constData() + m_sent % period, n);
        }
        m_sent += n;
        budget -= n;
    }
    if (m_sent < m_limit)
        return;
    m_rateTimer.stop();
    // A stalled answer keeps its connection open and silent until the client gives up.
    if (m_script.stallAfter >= 0 && m_script.stallAfter < m_script.size + m_script.extra)
        return;
    finish();
}

void HubConnection::finish()
{
    m_responding = false;
    m_rateTimer.stop();
    m_socket->disconnectFromHost();
}
