#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

// The SHA-256 of a file being downloaded, worked out on a thread of its own as the pieces
// arrive, so hashing a model's gigabytes never holds up the window. A resumed download's kept
// part is read from disk first, then every piece handed over, in order, into the same hash.
// Signals are emitted on the worker thread; connect them queued to reach the GUI thread.
class StreamingSha256 : public QObject
{
    Q_OBJECT

public:
    // Once this much waits to be hashed, add() asks the caller to hold back further pieces.
    static constexpr qsizetype backlogLimit = 4 * 1024 * 1024;

    // Hashes the first `keptBytes` bytes of `keptPath` before any piece added.
    explicit StreamingSha256(const QString &keptPath = {}, qint64 keptBytes = 0);
    // Stops at the next piece and waits for the thread: nothing runs on once its owner is gone.
    ~StreamingSha256() override;

    // False when the backlog is full: add nothing more until drained() (pieces are still taken).
    bool add(QByteArray piece);
    // Every piece has been added; finished() follows once they are hashed.
    void finish();

signals:
    // The backlog that add() reported full has shrunk to half.
    void drained();
    // Lower-case hex digest; empty when the kept part could not be read in full.
    void finished(const QByteArray &digest);

private:
    void run(std::stop_token stop, QString keptPath, qint64 keptBytes);

    std::mutex m_mutex;
    std::condition_variable_any m_arrived;
    std::deque<QByteArray> m_pieces;
    qsizetype m_backlog = 0;
    bool m_full = false;
    bool m_finishing = false;
    std::jthread m_worker; // last: started once everything it uses exists, stopped first
};
