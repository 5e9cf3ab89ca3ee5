#pragma once

#include <QProcess>
#include <QString>
#include <QUrl>

// The local model hub (fake-hub) running as a real child process on 127.0.0.1.
class LocalHub
{
public:
    LocalHub();
    ~LocalHub();

    bool isListening() const { return m_port != 0; }
    // A hub base address whose answers follow the script ("size=4096,cut", …); empty = defaults.
    QUrl baseURL(const QString &script = QString()) const;

private:
    QProcess m_process;
    quint16 m_port = 0;
};
