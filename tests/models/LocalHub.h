#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

// The local model hub (fake-hub) running as a real child process on 127.0.0.1.
class LocalHub
{
public:
    // `repos`: the repositories its API knows (see the fake hub); empty = generated files only.
    explicit LocalHub(const QJsonObject &repos = {});
    ~LocalHub();

    bool isListening() const { return m_port != 0; }
    // A hub base address whose answers follow the script ("size=4096,cut", …); empty = defaults.
    QUrl baseURL(const QString &script = QString()) const;
    // Body bytes the hub has sent so far for requests whose path contains `pathPart`.
    qint64 servedBytes(const QString &pathPart);

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QByteArray m_output;
};
