#include "tools/UserProcess.h"

#include "tools/DesktopEntry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool ownedByUser(pid_t pid)
{
    struct stat info;
    const QByteArray path = "/proc/" + QByteArray::number(pid);
    return ::stat(path.constData(), &info) == 0 && info.st_uid == ::getuid();
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The start time field of /proc/PID/stat, counted after the name, which may hold spaces and ")".
std::optional<quint64> startTime(const QByteArray &stat)
{
    constexpr qsizetype startTimeAfterName = 19;
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    bool isNumber = false;
    const quint64 ticks = fields.value(startTimeAfterName).toULongLong(&isNumber);
    return isNumber ? std::optional(ticks) : std::nullopt;
}

} // namespace

bool UserProcess::belongsTo(const DesktopEntry &entry) const
{
    return program == entry.program && arguments.mid(0, entry.arguments.size()) == entry.arguments;
}

bool UserProcess::terminate() const
{
    const std::optional<UserProcess> now = read(pid);
    return now && now->program == program && now->started == started && ::kill(pid, SIGTERM) == 0;
}

std::optional<UserProcess> UserProcess::read(pid_t pid)
{
    if (pid <= 1 || pid == ::getpid() || !ownedByUser(pid))
        return std::nullopt;
    const QString base = QStringLiteral("/proc/") + QString::number(pid);
    // Kernel threads and processes that have already ended have no executable to read.
    const QString executable = QFile::symLinkTarget(base + QStringLiteral("/exe"));
    const std::optional<quint64> started = startTime(contents(base + QStringLiteral("/stat")));
    QByteArray commandLine = contents(base + QStringLiteral("/cmdline"));
    if (executable.isEmpty() || !started || commandLine.isEmpty())
        return std::nullopt;
    if (commandLine.endsWith('\0'))
        commandLine.chop(1);
    QStringList arguments;
    for (const QByteArray &argument : commandLine.split('\0'))
        arguments.append(QString::fromLocal8Bit(argument));
    arguments.removeFirst();
    return UserProcess{pid, QFileInfo(executable).canonicalFilePath(), arguments, *started};
}

QList<UserProcess> UserProcess::running()
{
    QList<UserProcess> processes;
    for (const QString &name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isNumber = false;
        const pid_t pid = name.toInt(&isNumber);
        if (isNumber)
            if (std::optional<UserProcess> process = read(pid))
                processes.append(*process);
    }
    return processes;
}
