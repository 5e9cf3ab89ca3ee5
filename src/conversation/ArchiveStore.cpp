#include "conversation/ArchiveStore.h"

#include "conversation/ChatArchive.h"

#include <QCryptographicHash>
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

QString ArchiveStore::recoveryCopyPath(const QString &archivePath, const QByteArray &bytes)
{
    const QFileInfo info(archivePath);
    const QByteArray hash = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().left(12);
    return info.dir().filePath(QStringLiteral("%1.unreadable-%2.json")
                                   .arg(info.completeBaseName(), QString::fromLatin1(hash)));
}

ArchiveStore::Loaded ArchiveStore::load()
{
    Loaded loaded;
    QFile file(m_path);
    // Something at the path that cannot be opened is an archive we cannot read, not a missing one.
    if (!QFileInfo::exists(m_path))
        return loaded;
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        m_readOnly = true;
        loaded.readOnlyReason = file.errorString();
        return loaded;
    }
    file.close();
    loaded.sessions = ChatArchive::decode(bytes);
    if (loaded.sessions)
        return loaded;

    // Keep the unreadable bytes beside the archive before the next save replaces it; a copy of
    // the same bytes from an earlier start is kept already.
    const QString copyPath = recoveryCopyPath(m_path, bytes);
    const QFileInfo existing(copyPath);
    if (existing.isFile() && existing.size() == bytes.size()) {
        loaded.recoveryCopyPath = copyPath;
        return loaded;
    }
    QSaveFile copy(copyPath);
    if (copy.open(QIODevice::WriteOnly) && copy.write(bytes) == bytes.size() && copy.flush() && copy.commit()) {
        loaded.recoveryCopyPath = copyPath;
        return loaded;
    }
    copy.cancelWriting();
    m_readOnly = true;
    loaded.readOnlyReason = copy.errorString();
    return loaded;
}

void ArchiveStore::setWriteListener(std::function<void(const QString &)> listener)
{
    std::lock_guard lock(m_mutex);
    m_listener = std::move(listener);
}

void ArchiveStore::save(const QList<ChatSession> &snapshot)
{
    if (m_readOnly)
        return;
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

        const QString error = write(snapshot);

        lock.lock();
        if (m_listener)
            m_listener(error);
        m_writing = false;
        if (!m_pending)
            m_idle.notify_all();
    }
}

QString ArchiveStore::write(const QList<ChatSession> &snapshot)
{
    const QByteArray bytes = ChatArchive::encode(snapshot);
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QSaveFile file(m_path);
    // A failed write (read-only folder, full disk) leaves the previous archive in place. The
    // explicit flush matters: commit() alone would put a file cut short by a full disk in place
    // of the archive, as Qt 6.4 does not report a failed last write there.
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush() && file.commit())
        return {};
    const QString error = file.errorString();
    file.cancelWriting();
    return error.isEmpty() ? QStringLiteral("the file could not be written") : error;
}
