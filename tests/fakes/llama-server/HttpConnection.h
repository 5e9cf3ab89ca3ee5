#pragma once

#include "StreamPlan.h"

#include <QObject>

class EngineScript;
class QTcpSocket;

// One client connection speaking just enough HTTP/1.1 for the engine's two endpoints:
// requests may follow each other on a kept-alive connection, streams use chunked transfer.
class HttpConnection : public QObject
{
    Q_OBJECT
public:
    HttpConnection(QTcpSocket *socket, EngineScript &script);

private:
    void readRequests();
    void handle(const QByteArray &method, const QByteArray &path, const QByteArray &authorization,
                const QByteArray &body);
    void answerChat(const QByteArray &body);
    void sendPlain(int status, const QByteArray &contentType, const QByteArray &body);
    void sendError(int status, const QString &message, const QString &type);
    void pump();
    void writeChunk(const QByteArray &data);
    void finishStream();

    QTcpSocket *m_socket;
    EngineScript &m_script;
    QByteArray m_input;
    bool m_streaming = false;
    bool m_waitingForTimer = false;
    StreamPlan m_plan;
    qsizetype m_nextEvent = 0;
};
