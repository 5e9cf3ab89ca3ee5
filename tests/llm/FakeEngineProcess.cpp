#include "FakeEngineProcess.h"
#include "TestSupport.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

FakeEngineProcess::~FakeEngineProcess()
{
    m_process.kill();
    m_process.waitForFinished(2000);
}

quint16 FakeEngineProcess::freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool FakeEngineProcess::start(const QJsonArray &replies, const QString &apiKey)
{
    QFile script(m_dir.filePath(QStringLiteral("script.json")));
    const QJsonObject content{{"replies", replies}, {"requestLog", m_dir.filePath(QStringLiteral("requests.jsonl"))}};
    if (!script.open(QIODevice::WriteOnly) || !script.write(QJsonDocument(content).toJson(QJsonDocument::Compact)))
        return false;
    script.close();

    m_port = freePort();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("MORLO_FAKE_ENGINE_SCRIPT"), script.fileName());
    env.remove(QStringLiteral("LLAMA_API_KEY"));
    if (!apiKey.isEmpty())
        env.insert(QStringLiteral("LLAMA_API_KEY"), apiKey);
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(TestSupport::fakesDirectory() + QStringLiteral("/fake-llama-server"),
                    {"--model", m_dir.filePath("model.gguf"), "--port", QString::number(m_port)});
    for (const QDeadlineTimer deadline(5000); m_process.waitForStarted() && !deadline.hasExpired(); QTest::qWait(20)) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, m_port);
        if (probe.waitForConnected(200))
            return true;
    }
    return false;
}

QList<QJsonObject> FakeEngineProcess::requests() const
{
    QList<QJsonObject> bodies;
    QFile log(m_dir.filePath(QStringLiteral("requests.jsonl")));
    if (log.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : log.readAll().split('\n'))
            bodies << QJsonDocument::fromJson(line).object();
        bodies.removeLast(); // after the last line feed
    }
    return bodies;
}
