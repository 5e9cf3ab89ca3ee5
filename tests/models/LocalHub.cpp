#include "LocalHub.h"

#include "TestSupport.h"

#include <QFile>
#include <QJsonDocument>

LocalHub::LocalHub(const QJsonObject &repos)
{
    QStringList arguments;
    if (!repos.isEmpty()) {
        QFile file(m_dir.filePath(QStringLiteral("repos.json")));
        if (file.open(QIODevice::WriteOnly))
            file.write(QJsonDocument(repos).toJson());
        arguments << QStringLiteral("--repos") << file.fileName();
    }
    m_port = TestSupport::startFake(m_process, QStringLiteral("fake-hub"), arguments, 10'000);
}

LocalHub::~LocalHub()
{
    m_process.kill();
    m_process.waitForFinished();
}

QUrl LocalHub::baseURL(const QString &script) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(m_port) + (script.isEmpty() ? QString() : script + QLatin1Char('/')));
}

qint64 LocalHub::servedBytes(const QString &pathPart)
{
    m_output += m_process.readAllStandardOutput();
    qint64 total = 0;
    for (const QByteArray &line : m_output.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 3 && fields[0] == "served" && fields[1].contains(pathPart.toUtf8()))
            total += fields[2].toLongLong();
    }
    return total;
}
