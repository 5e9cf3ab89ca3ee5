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

bool FakeEngineProcess::start(const QJsonArray &replies)
{
    const QString scriptPath = m_dir.filePath(QStringLiteral("script.json"));
    QFile script(scriptPath);
    const QJsonObject content{{"replies", replies}, {"requestLog", m_dir.filePath(QStringLiteral("requests.jsonl"))}};
    if (!script.open(QIODevice::WriteOnly) || !script.write(QJsonDocument(content).toJson(QJsonDocument::Compact)))
        return false;
    script.close();

    m_port = freePort();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("MORLO_FAKE_ENGINE_SCRIPT"), scriptPath);
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(TestSupport::fakesDirectory() + QStringLiteral("/fake-llama-server"),
                    {"--model", m_dir.filePath("model.gguf"), "--ctx-size", "8192", "--port", QString::number(m_port),
                     "--host", "127.0.0.1", "--n-predict", "-1"});
    if (!m_process.waitForStarted())
        return false;
    const QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, m_port);
        if (probe.waitForConnected(200))
            return true;
        QTest::qWait(20);
    }
    return false;
}

QList<QJsonObject> FakeEngineProcess::requests() const
{
    QList<QJsonObject> bodies;
    QFile log(m_dir.filePath(QStringLiteral("requests.jsonl")));
    if (!log.open(QIODevice::ReadOnly))
        return bodies;
    for (const QByteArray &line : log.readAll().split('\n')) {
        if (!line.isEmpty())
            bodies.append(QJsonDocument::fromJson(line).object());
    }
    return bodies;
}
