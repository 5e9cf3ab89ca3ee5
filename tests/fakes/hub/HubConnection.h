#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

class QTcpSocket;

// How one answer is delivered. The defaults come from the command line; the first segment of
// the request path may override them for one request, e.g.
//   /size=1048576,rate=200000,cut/owner/repo/resolve/main/file.gguf
struct HubScript
{
    qint64 size = 1024 * 1024;   // bytes of generated content
    qint64 rate = 0;             // bytes per second; 0 = as fast as the socket takes them
    bool noLength = false;       // no Content-Length: the end of the body is the closed connection
    qint64 stallAfter = -1;      // stop sending (but keep the connection open) after this many bytes
    bool cut = false;            // close the connection after half of the body
    qint64 extra = 0;            // bytes sent beyond the announced length
    bool notFound = false;       // answer 404

    // Applies "key=value,flag,…"; false when the text is not a script.
    bool apply(const QByteArray &text);
};

// Serves one request: GET <script>/<repo>/resolve/main/<file>; byte i of every file is i % 251.
class HubConnection : public QObject
{
    Q_OBJECT

public:
    HubConnection(QTcpSocket *socket, const HubScript &defaults, QObject *parent = nullptr);

private:
    void readRequest();
    void respond(const QByteArray &path);
    void pump();
    void finish();

    QTcpSocket *m_socket;
    HubScript m_script;
    QByteArray m_request;
    qint64 m_sent = 0;
    qint64 m_limit = 0;          // bytes this answer will send in all
    bool m_responding = false;
    QTimer m_rateTimer;
};
