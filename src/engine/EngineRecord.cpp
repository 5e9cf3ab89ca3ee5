#include "engine/EngineRecord.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <qcorotimer.h>

#include <chrono>
#include <csignal>
#include <optional>

namespace {

constexpr int checkIntervalMs = 50;

QString baseName(QString path)
{
    path.remove(QLatin1String(" (deleted)")); // the binary was replaced since it started
    return QFileInfo(path).fileName();
}

} // namespace

EngineRecord::EngineRecord(QString filePath)
    : m_filePath(std::move(filePath))
{
}

void EngineRecord::remember(qint64 pid, const QString &executablePath) const
{
    if (m_filePath.isEmpty())
        return;
    QDir().mkpath(QFileInfo(m_filePath).absolutePath());
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(QByteArray::number(pid) + '\n' + executablePath.toUtf8() + '\n');
    if (file.flush())
        file.commit();
}

void EngineRecord::forget(qint64 pid) const
{
    const auto entry = read();
    if (entry && entry->pid == pid)
        QFile::remove(m_filePath);
}

std::optional<EngineRecord::Entry> EngineRecord::read() const
{
    QFile file(m_filePath);
    if (m_filePath.isEmpty() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QList<QByteArray> lines = file.read(4096).split('\n');
    bool ok = false;
    Entry entry;
    entry.pid = lines.value(0).trimmed().toLongLong(&ok);
    if (!ok || entry.pid <= 0)
        return std::nullopt;
    entry.executablePath = QString::fromUtf8(lines.value(1).trimmed());
    return entry;
}

bool EngineRecord::isEngine(const Entry &entry)
{
    // A process that has exited (or a zombie) has no executable link and an empty command
    // line, so it never matches.
    const QString proc = QStringLiteral("/proc/%1/").arg(entry.pid);
    QString running = QFileInfo(proc + QStringLiteral("exe")).symLinkTarget();
    if (running.isEmpty()) {
        QFile cmdline(proc + QStringLiteral("cmdline"));
        if (cmdline.open(QIODevice::ReadOnly))
            running = QString::fromLocal8Bit(cmdline.readAll().split('\0').value(0));
    }
    if (running.isEmpty())
        return false;
    const QString name = baseName(running);
    return name == QLatin1String("llama-server") || name == QLatin1String("llama-cli")
        || (!entry.executablePath.isEmpty() && name == baseName(entry.executablePath));
}

QCoro::Task<> EngineRecord::endLeftover(int graceMs) const
{
    const auto entry = read();
    if (!entry)
        co_return;
    for (int signal : {SIGTERM, SIGKILL}) {
        if (!isEngine(*entry))
            break;
        ::kill(static_cast<pid_t>(entry->pid), signal);
        for (int waited = 0; waited < graceMs && isEngine(*entry); waited += checkIntervalMs)
            co_await QCoro::sleepFor(std::chrono::milliseconds(checkIntervalMs));
    }
    QFile::remove(m_filePath);
}
