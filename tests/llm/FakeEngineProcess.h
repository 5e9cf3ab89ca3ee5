#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

// The fake engine as a real child process on a free loopback port, with its script and request
// log in a private temporary folder.
class FakeEngineProcess
{
public:
    ~FakeEngineProcess();

    // Starts the engine with these scripted replies and waits until it accepts connections;
    // with a key, only requests that carry it are served.
    bool start(const QJsonArray &replies, const QString &apiKey = QString());
    QUrl baseUrl() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/v1").arg(m_port)); }
    // Every request body the engine received, oldest first.
    QList<QJsonObject> requests() const;

    static quint16 freePort();

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};
