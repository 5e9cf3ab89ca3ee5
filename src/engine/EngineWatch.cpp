#include "engine/EngineWatch.h"

#include <QProcess>
#include <QStringList>

void EngineWatch::watch(QProcess *process)
{
    release();
    m_process = process;
    m_finished = connect(process, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus status) {
        release();
        emit stoppedUnexpectedly({status == QProcess::CrashExit, exitCode});
    });
}

void EngineWatch::release()
{
    disconnect(m_finished);
    m_process = nullptr;
}

QString EngineWatch::stopReport(const QByteArray &log, RecoveryLadder::Termination termination, int lineCount)
{
    // The end of the log says why; the whole log of a long run would bury it.
    QList<QByteArray> lines = log.trimmed().split('\n');
    if (lines.size() > lineCount)
        lines = lines.mid(lines.size() - lineCount);
    return RecoveryLadder::earlyExitReport(lines.join('\n'), termination);
}
