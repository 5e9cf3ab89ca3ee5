#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
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
    qint64 cutAt = -1;           // close the connection once the file's byte at this offset is due
    qint64 extra = 0;            // bytes sent beyond the announced length
    bool noRange = false;        // ignore Range requests and always send the whole file
    bool magic = false;          // the file starts with "GGUF"
    int status = 0;              // answer this HTTP status with the hub's JSON error body

    // Applies "key=value,flag,…"; false when the text is not a script.
    bool apply(const QByteArray &text);
};

// Repositories the hub's API knows, read from a JSON file:
//   {"owner/name": {"files": [{"name": "x-Q4_K_M.gguf", "size": 4096}], "downloads": 10,
//                   "likes": 2, "token": "secret"}}
// A repository with a token answers 401 to anyone who does not send it as a bearer token.
struct HubRepos
{
    QJsonObject repos;
    // Byte i of a repository file: "GGUF" for the first four, then i % 251 like every body.
    static QByteArray content(qint64 size, bool magic);
};

// Serves one request:
//   GET [script/]<owner>/<name>/resolve/main/<file>   a generated file (Range honoured)
//   GET /api/models/<owner>/<name>                    repository info with its "siblings"
//   GET /api/models/<owner>/<name>/tree/main          files with size and lfs.oid (SHA-256)
//   GET /api/models?search=<q>&…                      repositories whose name holds <q>, most
//                                                     downloaded first
// When an answer ends it prints "served <path> <body bytes>" on standard output, so a test can
// count what crossed the wire.
class HubConnection : public QObject
{
    Q_OBJECT

public:
    HubConnection(QTcpSocket *socket, const HubScript &defaults, const HubRepos &repos,
                  QObject *parent = nullptr);

private:
    void readRequest();
    void respond(const QByteArray &path);
    void respondApi(const QList<QByteArray> &segments, const QByteArray &query);
    void sendFile(const QJsonObject &repo, const QByteArray &file);
    void sendJson(int status, const QByteArray &json);
    void sendError(int status, const QByteArray &what);
    QByteArray header(const QByteArray &name) const;
    void pump();
    void finish();

    QTcpSocket *m_socket;
    HubScript m_script;
    const HubRepos &m_repos;
    QByteArray m_request;
    QByteArray m_path;
    qint64 m_offset = 0;         // of the first byte sent, in the file
    qint64 m_sent = 0;           // bytes of the file sent, counted from its start
    qint64 m_limit = 0;          // offset in the file at which this answer stops
    bool m_responding = false;
    QTimer m_rateTimer;
};
