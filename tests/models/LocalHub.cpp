#include "LocalHub.h"

#include "TestSupport.h"

#include <QDir>
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
    m_process.setProgram(QDir(TestSupport::fakesDirectory()).filePath(QStringLiteral("fake-hub")));
    m_process.setArguments(arguments);
    m_process.start();
    if (!m_process.waitForReadyRead(10'000))
        return;
    const QByteArray line = m_process.readLine().trimmed();
    if (line.startsWith("port "))
        m_port = line.mid(5).toUShort();
}

LocalHub::~LocalHub()
{
    m_process.kill();
    m_process.waitForFinished();
}

QUrl LocalHub::baseURL(const QString &script) const
{
    QString text = QStringLiteral("http://127.0.0.1:%1/").arg(m_port);
    if (!script.isEmpty())
        text += script + QLatin1Char('/');
    return QUrl(text);
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
