#include "HubConnection.h"

#include <QTcpSocket>

namespace {
constexpr int period = 251;
constexpr qint64 chunkBytes = 256 * 1024;
constexpr qint64 socketBacklog = 1024 * 1024;
constexpr int rateTickMs = 10;

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
        else if (key == "nolength")
            noLength = true;
        else if (key == "cut")
            cut = true;
        else if (key == "404")
            notFound = true;
        else
            return false;
        if (!ok)
            return false;
    }
    return true;
}

HubConnection::HubConnection(QTcpSocket *socket, const HubScript &defaults, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_script(defaults)
{
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, &HubConnection::readRequest);
    connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    connect(socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_script.rate == 0)
            pump();
    });
    connect(&m_rateTimer, &QTimer::timeout, this, &HubConnection::pump);
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
    respond(requestLine.value(1));
}

void HubConnection::respond(const QByteArray &path)
{
    QList<QByteArray> segments = path.split('/');
    segments.removeAll(QByteArray());
    // [script /] owner / name / resolve / main / file
    if (segments.size() == 6 && !m_script.apply(segments.takeFirst()))
        m_script.notFound = true;
    const bool wellFormed = segments.size() == 5 && segments[2] == "resolve" && segments[3] == "main";
    if (m_script.notFound || !wellFormed) {
        const QByteArray body = "Entry not found";
        m_socket->write("HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: "
                        + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        finish();
        return;
    }

    QByteArray header = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n";
    if (!m_script.noLength)
        header += "Content-Length: " + QByteArray::number(m_script.size) + "\r\n";
    header += "Connection: close\r\n\r\n";
    m_socket->write(header);

    m_limit = m_script.size + m_script.extra;
    if (m_script.cut)
        m_limit = m_script.size / 2;
    if (m_script.stallAfter >= 0)
        m_limit = std::min(m_limit, m_script.stallAfter);
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
        m_socket->write(pattern().constData() + m_sent % period, n);
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
