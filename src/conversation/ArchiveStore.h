#pragma once

#include "conversation/ChatSession.h"

#include <QList>
#include <QString>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

// Keeps the conversation archive file. Saves are encoded and written by one background thread,
// in order, with bursts coalesced to the newest snapshot; each write replaces the file atomically
// so a crash or a full disk never leaves half an archive. An archive that cannot be read is
// copied aside, byte for byte, before anything can overwrite it; when no copy can be made, the
// archive is never written in this run.
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
        QString recoveryCopyPath;                   // where an unreadable archive is kept
        QString readOnlyReason;                     // unreadable and no copy: nothing is saved
    };
    Loaded load();

    // The copy of unreadable archive bytes: named by a short hash of them, so each distinct
    // content is kept once however often the app starts.
    static QString recoveryCopyPath(const QString &archivePath, const QByteArray &bytes);

    // Hands a snapshot to the writer and returns at once (implicit sharing makes it cheap).
    // Dropped while the store is read-only.
    void save(const QList<ChatSession> &snapshot);
    bool isReadOnly() const { return m_readOnly; }
    // Called on the writer thread after every write: an empty text when the archive is on disk,
    // otherwise why it is not. The previous archive stays in place on failure.
    void setWriteListener(std::function<void(const QString &error)> listener);
    // Blocks until every snapshot handed over so far is on disk (or has failed to write).
    void flush();

    QString path() const { return m_path; }

private:
    void run();
    QString write(const QList<ChatSession> &snapshot);

    QString m_path;
    bool m_readOnly = false; // set by load() before any save
    std::function<void(const QString &)> m_listener;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::optional<QList<ChatSession>> m_pending;
    bool m_writing = false;
    bool m_stopping = false;
    std::thread m_thread;
};
