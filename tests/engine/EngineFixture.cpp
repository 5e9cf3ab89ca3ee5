#include "EngineFixture.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTcpServer>

int freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

bool isAlive(qint64 pid)
{
    return !QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget().isEmpty();
}

EngineFixture::EngineFixture()
{
    environment.port = freePort();
    environment.pollIntervalMs = 20;
    environment.lastPoll = 120;
    environment.healthTimeoutMs = 1000;
    environment.stopGraceMs = 500;
    environment.compilerPath = QStringLiteral("/usr/bin/cc");
    environment.brewPath = QStringLiteral("/usr/bin:/bin");
    environment.metalStubDirectory = path(QStringLiteral("metal-stub"));
    environment.enginePidFile = path(QStringLiteral("engine.pid"));
    environment.engineCandidates = {fakeEngine()};
}

EngineFixture::~EngineFixture()
{
    qunsetenv("MORLO_FAKE_ENGINE_SCRIPT");
}

QString EngineFixture::path(const QString &name) const
{
    return QDir(m_dir.path()).filePath(name);
}

QString EngineFixture::fakeEngine()
{
    return QDir(TestSupport::fakesDirectory()).filePath(QStringLiteral("fake-llama-server"));
}

QString EngineFixture::fakeBrew()
{
    return QDir(TestSupport::fakesDirectory()).filePath(QStringLiteral("fake-brew"));
}

void EngineFixture::setEngineScript(QJsonObject script)
{
    const QString file = path(QStringLiteral("engine-script.json"));
    script.insert(QStringLiteral("launchLog"), path(QStringLiteral("launches.jsonl")));
    QFile out(file);
    out.open(QIODevice::WriteOnly | QIODevice::Truncate);
    out.write(QJsonDocument(script).toJson());
    out.close();
    QFile::remove(file + QStringLiteral(".launches"));
    QFile::remove(path(QStringLiteral("launches.jsonl")));
    qputenv("MORLO_FAKE_ENGINE_SCRIPT", file.toUtf8());
}

QList<QJsonObject> EngineFixture::launches() const
{
    QList<QJsonObject> result;
    QFile log(path(QStringLiteral("launches.jsonl")));
    if (log.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : log.readAll().split('\n'))
            if (!line.isEmpty())
                result << QJsonDocument::fromJson(line).object();
    }
    return result;
}

QStringList EngineFixture::arguments(const QJsonObject &launch)
{
    const QStringList argv = launch.value(QStringLiteral("argv")).toVariant().toStringList();
    return argv.mid(1);
}
