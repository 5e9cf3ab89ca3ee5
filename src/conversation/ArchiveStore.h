#pragma once

#include "conversation/ChatSession.h"

#include <QList>
#include <QString>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

// Keeps the conversation archive file. Saves are encoded and written by one background thread,
// in order, with bursts coalesced to the newest snapshot; each write replaces the file atomically
// so a crash or a full disk never leaves half an archive. An archive that cannot be read is
// copied aside, byte for byte, before anything can overwrite it.
class ArchiveStore
{
public:
    explicit ArchiveStore(const QString &path);
    ~ArchiveStore(); // writes what is still pending
    ArchiveStore(const ArchiveStore &) = delete;
    ArchiveStore &operator=(const ArchiveStore &) = delete;

    struct Loaded
    {
        std::optional<QList<ChatSession>> sessions; // absent: no archive, or unreadable
        QString recoveryCopyPath;                   // set when an unreadable archive was kept
    };
    Loaded load();

    // Hands a snapshot to the writer and returns at once (implicit sharing makes it cheap).
    void save(const QList<ChatSession> &snapshot);
    // Blocks until every snapshot handed over so far is on disk (or has failed to write).
    void flush();

    QString path() const { return m_path; }

private:
    void run();

    QString m_path;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::optional<QList<ChatSession>> m_pending;
    bool m_writing = false;
    bool m_stopping = false;
    std::thread m_thread;
};
