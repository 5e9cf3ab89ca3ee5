#pragma once

#include <QString>
#include <qcorotask.h>

// The engine this app started, written down in a file. The engine binds its port so that a
// second engine on the same port shares the connections, so one left over from an earlier run
// (after a crash of the app) would answer for the new one: a start ends it first.
class EngineRecord
{
public:
    explicit EngineRecord(QString filePath);

    void remember(qint64 pid, const QString &executablePath) const;
    // Forgets the record only if it still names `pid`: a newer engine may have replaced it.
    void forget(qint64 pid) const;

    // Ends the recorded engine if it still runs, asking first and forcing it after `graceMs`.
    // A recorded pid that now belongs to another program is left alone.
    QCoro::Task<> endLeftover(int graceMs) const;

private:
    struct Entry
    {
        qint64 pid = 0;
        QString executablePath;
    };
    std::optional<Entry> read() const;
    static bool isEngine(const Entry &entry);

    QString m_filePath;
};
