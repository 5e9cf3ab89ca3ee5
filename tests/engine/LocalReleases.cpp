#include "LocalReleases.h"

#include "TestSupport.h"

LocalReleases::LocalReleases(const QStringList &extraArguments)
{
    const QList<TestSupport::RealEngine> engines = TestSupport::realEngines();
    if (engines.size() < 2)
        return;
    // Building the archives takes a few seconds on a busy machine.
    m_port = TestSupport::startFake(m_process, QStringLiteral("fake-release-server"),
                                    QStringList{QStringLiteral("--engine"), engines[0].name + u'=' + engines[0].executable,
                                                QStringLiteral("--engine"), engines[1].name + u'=' + engines[1].executable}
                                        + extraArguments,
                                    60'000);
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
