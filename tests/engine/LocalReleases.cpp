#include "LocalReleases.h"

#include "TestSupport.h"

#include <QDir>

LocalReleases::LocalReleases(const QStringList &extraArguments)
{
    const QList<TestSupport::RealEngine> engines = TestSupport::realEngines();
    if (engines.size() < 2)
        return;
    m_process.setProgram(QDir(TestSupport::fakesDirectory()).filePath(QStringLiteral("fake-release-server")));
    m_process.setArguments(QStringList{QStringLiteral("--engine"), engines[0].name + u'=' + engines[0].executable,
                                       QStringLiteral("--engine"), engines[1].name + u'=' + engines[1].executable}
                           + extraArguments);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start();
    // Building the archives takes a few seconds on a busy machine.
    if (!m_process.waitForReadyRead(60'000))
        return;
    const QByteArray line = m_process.readLine().trimmed();
    if (line.startsWith("port "))
        m_port = line.mid(5).toUShort();
}

LocalReleases::~LocalReleases()
{
    m_process.kill();
    m_process.waitForFinished();
}

QUrl LocalReleases::releasesURL(const QString &scenario) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/%2/releases/latest").arg(m_port).arg(scenario));
}
