#include "EngineFixture.h"

#include "TestSupport.h"
#include "engine/ServerManager.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTcpServer>

int freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
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
    script.insert(QStringLiteral("launchLog"), path(QStringLiteral("launches.jsonl")));
    const QString file = path(QStringLiteral("engine-script.json"));
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
    if (!log.open(QIODevice::ReadOnly))
        return result;
    for (const QByteArray &line : log.readAll().split('\n')) {
        if (!line.trimmed().isEmpty())
            result << QJsonDocument::fromJson(line).object();
    }
    return result;
}

QStringList EngineFixture::arguments(const QJsonObject &launch)
{
    QStringList argv;
    for (const QJsonValue &value : launch.value(QStringLiteral("argv")).toArray())
        argv << value.toString();
    if (!argv.isEmpty() && !argv.first().startsWith(QLatin1String("--")))
        argv.removeFirst();
    return argv;
}

QString EngineFixture::libraryPath(const QJsonObject &launch)
{
    return launch.value(QStringLiteral("env")).toObject().value(QStringLiteral("DYLD_LIBRARY_PATH")).toString();
}

QString EngineFixture::launchSummary(const QJsonObject &launch, const QString &model) const
{
    const QStringList argv = arguments(launch);
    // A retry may find the port still held by the engine that just ended, and take the next.
    const int port = argv.value(5).toInt();
    const bool portInRange = port >= environment.port && port < environment.port + environment.portCount;
    const QStringList fixed{"--model", model, "--ctx-size", argv.value(3), "--port",
                            portInRange ? argv.value(5) : QString::number(environment.port),
                            "--host", "127.0.0.1", "--n-predict", "-1"};
    QStringList summary = argv.mid(0, fixed.size()) == fixed ? argv.mid(3, 1) + argv.mid(fixed.size()) : argv;
    const QString library = libraryPath(launch);
    if (!library.isEmpty())
        summary << QStringLiteral("lib=") + (library == environment.metalStubDirectory ? QStringLiteral("stub") : library);
    return summary.join(QLatin1Char(' '));
}

QStringList *EngineFixture::recordStatuses(ServerManager &manager)
{
    auto *statuses = new QStringList;
    QObject::connect(&manager, &ServerManager::statusMessageChanged, &manager,
                     [statuses, &manager] { statuses->append(manager.statusMessage()); });
    QObject::connect(&manager, &QObject::destroyed, [statuses] { delete statuses; });
    return statuses;
}
