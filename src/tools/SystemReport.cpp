#include "tools/AppleScriptExecutor.h"

#include <QFile>
#include <QSysInfo>
#include <QThread>

#include <sys/statvfs.h>
#include <unistd.h>

namespace AppleScriptExecutor {

namespace {

constexpr double bytesPerGB = 1073741824.0;

// The distribution's own display name, e.g. "Debian GNU/Linux 12 (bookworm)".
QString operatingSystemVersion()
{
    for (const char *path : {"/etc/os-release", "/usr/lib/os-release"}) {
        QFile release(QString::fromLatin1(path));
        if (!release.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : release.readAll().split('\n')) {
            if (!line.startsWith("PRETTY_NAME="))
                continue;
            QString value = QString::fromUtf8(line.mid(int(qstrlen("PRETTY_NAME=")))).trimmed();
            if (value.size() >= 2 && (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\''))
                && value.back() == value.front())
                value = value.mid(1, value.size() - 2);
            return value;
        }
    }
    return QSysInfo::prettyProductName();
}

// "<free>GB free of <total>GB" for the file system holding the path, or "Unknown" when the
// system cannot tell.
QString diskText(const QString &path)
{
    struct statvfs info;
    if (::statvfs(QFile::encodeName(path).constData(), &info) != 0 || info.f_blocks == 0)
        return QStringLiteral("Unknown");
    const double free = double(info.f_bavail) * double(info.f_frsize) / bytesPerGB;
    const double total = double(info.f_blocks) * double(info.f_frsize) / bytesPerGB;
    return QString::asprintf("%.0f", free) + QStringLiteral("GB free of ") + QString::asprintf("%.0f", total)
           + QStringLiteral("GB");
}

} // namespace

QString systemInfo()
{
    const double memory = double(::sysconf(_SC_PHYS_PAGES)) * double(::sysconf(_SC_PAGESIZE)) / bytesPerGB;
    return QStringLiteral("Linux: ") + operatingSystemVersion() + QStringLiteral("\nRAM: ")
           + QString::asprintf("%.1f", memory) + QStringLiteral("GB\nDisk: ") + diskText(QStringLiteral("/"))
           + QStringLiteral("\nCPU: ") + QString::number(QThread::idealThreadCount()) + QStringLiteral(" cores");
}

} // namespace AppleScriptExecutor
