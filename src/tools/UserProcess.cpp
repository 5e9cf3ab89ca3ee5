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

} // namespace

bool UserProcess::belongsTo(const DesktopEntry &entry) const
{
    return program == entry.program && arguments.mid(0, entry.arguments.size()) == entry.arguments;
}

bool UserProcess::terminate() const
{
    // The pid may have been reused since the listing; only ever signal the user's own process.
    return ownedByUser(pid) && ::kill(pid, SIGTERM) == 0;
}

QList<UserProcess> UserProcess::running()
{
    QList<UserProcess> processes;
    const pid_t self = ::getpid();
    for (const QString &name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isNumber = false;
        const pid_t pid = name.toInt(&isNumber);
        if (!isNumber || pid <= 1 || pid == self || !ownedByUser(pid))
            continue;
        const QString base = QStringLiteral("/proc/") + name;
        // Kernel threads and processes that have already ended have no executable to read.
        const QString executable = QFile::symLinkTarget(base + QStringLiteral("/exe"));
        if (executable.isEmpty())
            continue;
        QFile commandLine(base + QStringLiteral("/cmdline"));
        if (!commandLine.open(QIODevice::ReadOnly))
            continue;
        QByteArray bytes = commandLine.readAll();
        if (bytes.endsWith('\0'))
            bytes.chop(1);
        QStringList argv;
        for (const QByteArray &argument : bytes.split('\0'))
            argv.append(QString::fromLocal8Bit(argument));
        if (argv.isEmpty())
            continue;
        argv.removeFirst();
        processes.append({pid, QFileInfo(executable).canonicalFilePath(), argv});
    }
    return processes;
}
