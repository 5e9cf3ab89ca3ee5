#include "LocalHub.h"

#include "TestSupport.h"

#include <QDir>

LocalHub::LocalHub()
{
    m_process.setProgram(QDir(TestSupport::fakesDirectory()).filePath(QStringLiteral("fake-hub")));
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
