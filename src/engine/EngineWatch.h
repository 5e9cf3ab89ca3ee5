#pragma once

#include "engine/RecoveryLadder.h"

#include <QObject>
#include <QPointer>

class QProcess;

// Notices an engine that ends on its own after it was ready (killed, crashed, out of memory).
// Unwatched, the app would go on showing a ready engine while every request is refused.
class EngineWatch : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Watches this engine from now on; a process watched before is let go.
    void watch(QProcess *process);
    // Lets the engine go before the app ends it itself: that end is no surprise.
    void release();

    // The last `lineCount` lines of the engine's log and how it ended, for the user.
    static QString stopReport(const QByteArray &log, RecoveryLadder::Termination termination,
                              int lineCount = 40);

signals:
    void stoppedUnexpectedly(RecoveryLadder::Termination termination);

private:
    QPointer<QProcess> m_process;
    QMetaObject::Connection m_finished;
};
