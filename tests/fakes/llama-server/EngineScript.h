#pragma once

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// What this launch of the fake engine does, read from the JSON file named by
// MORLO_FAKE_ENGINE_SCRIPT. Without the variable the engine is healthy at once and greets.
class EngineScript
{
public:
    // Reads the script, counts this launch in "<script>.launches" and records the launch.
    static EngineScript load(const QStringList &argv);

    // The start behaviour of this launch ("loadMs", "exitAfterMs", "hang", ...).
    const QJsonObject &start() const { return m_start; }
    int launchNumber() const { return m_launch; }

    bool isLoaded() const;
    // The key requests must carry as a bearer token (from --api-key or LLAMA_API_KEY); empty
    // when none was given.
    QByteArray apiKey() const { return m_apiKey; }
    // The next scripted reply for a chat request; replies are consumed in order, the last repeats.
    QJsonObject nextReply(bool requestHasTools);
    // Appends one received POST body to the request log, if the script keeps one.
    void logRequest(const QByteArray &body) const;

private:
    static void appendLine(const QString &path, const QByteArray &line);

    QJsonObject m_start;
    QJsonArray m_replies;
    QString m_requestLog;
    QByteArray m_apiKey;
    int m_launch = 1;
    qsizetype m_nextReply = 0;
    QElapsedTimer m_sinceStart;
};
