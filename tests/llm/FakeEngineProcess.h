#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QTemporaryDir>

// The fake engine as a real child process on a free loopback port, with its script and request
// log in a private temporary folder.
class FakeEngineProcess
{
public:
    ~FakeEngineProcess();

    // Starts the engine with these scripted replies and waits until it accepts connections.
    bool start(const QJsonArray &replies);
    quint16 port() const { return m_port; }
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    QString baseURL() const;
    // Every request body the engine received, oldest first.
    QList<QJsonObject> requests() const;

    static quint16 freePort();

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};
