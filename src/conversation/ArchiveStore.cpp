#include "conversation/ArchiveStore.h"

#include "conversation/ChatArchive.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

ArchiveStore::ArchiveStore(const QString &path)
    : m_path(path)
    , m_thread([this] { run(); })
{
}

ArchiveStore::~ArchiveStore()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

ArchiveStore::Loaded ArchiveStore::load()
{
    Loaded loaded;
    QFile file(m_path);
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        return loaded;
    const QByteArray bytes = file.readAll();
    file.close();
    loaded.sessions = ChatArchive::decode(bytes);
    if (loaded.sessions)
        return loaded;

    // Keep the unreadable bytes beside the archive before the next save replaces it.
    const QFileInfo info(m_path);
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss"));
    QString copy = info.dir().filePath(QStringLiteral("%1.unreadable-%2.json").arg(info.completeBaseName(), stamp));
    for (int n = 2; QFile::exists(copy); ++n)
        copy = info.dir().filePath(QStringLiteral("%1.unreadable-%2-%3.json").arg(info.completeBaseName(), stamp).arg(n));
    if (QFile::copy(m_path, copy))
        loaded.recoveryCopyPath = copy;
    return loaded;
}

void ArchiveStore::save(const QList<ChatSession> &snapshot)
{
    {
        std::lock_guard lock(m_mutex);
        m_pending = snapshot;
    }
    m_wake.notify_one();
}

void ArchiveStore::flush()
{
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return !m_pending && !m_writing; });
}

void ArchiveStore::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_pending || m_stopping; });
        if (!m_pending)
            return; // stopping with nothing left to write
        const QList<ChatSession> snapshot = std::move(*m_pending);
        m_pending.reset();
        m_writing = true;
        lock.unlock();

        const QByteArray bytes = ChatArchive::encode(snapshot);
        QDir().mkpath(QFileInfo(m_path).absolutePath());
        QSaveFile file(m_path);
        // A failed write (read-only folder, full disk) leaves the previous archive in place.
        if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size())
            file.commit();
        else
            file.cancelWriting();

        lock.lock();
        m_writing = false;
        if (!m_pending)
            m_idle.notify_all();
    }
}
