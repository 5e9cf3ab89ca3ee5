#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QUrl>

// The fake llama.cpp release server running as a real child process on 127.0.0.1, publishing
// the real engines of the test fixture (b4748 as the latest release, b9591 as an older zip).
class LocalReleases
{
public:
    explicit LocalReleases(const QStringList &extraArguments = {});
    ~LocalReleases();

    bool isListening() const { return m_port != 0; }
    // The releases API address of one scenario ("latest", "broken", …).
    QUrl releasesURL(const QString &scenario) const;

private:
    QProcess m_process;
    quint16 m_port = 0;
};
