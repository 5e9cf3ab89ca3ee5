#include "engine/ArchiveUnpacker.h"

#include <QDir>
#include <QFile>

#include <archive.h>
#include <archive_entry.h>
#include <memory>

namespace {

using ArchivePtr = std::unique_ptr<archive, int (*)(archive *)>;

QString archiveError(archive *a)
{
    const char *text = archive_error_string(a);
    return text ? QString::fromLocal8Bit(text) : QStringLiteral("unknown error");
}

} // namespace

namespace ArchiveUnpacker {

bool isSafeEntryName(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\')))
        return false;
    const QStringList steps = QString(name).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'));
    return !steps.contains(QStringLiteral(".."));
}

std::optional<QString> unpack(const QString &archivePath, const QString &destinationDirectory)
{
    ArchivePtr reader(archive_read_new(), archive_read_free);
    archive_read_support_format_tar(reader.get());
    archive_read_support_format_zip(reader.get());
    archive_read_support_filter_gzip(reader.get());
    archive_read_support_filter_xz(reader.get());
    if (archive_read_open_filename(reader.get(), QFile::encodeName(archivePath).constData(), 1 << 16) != ARCHIVE_OK)
        return QStringLiteral("The engine archive cannot be read: ") + archiveError(reader.get());

    // Every entry is written at "<destination>/<its name>", an absolute path by design; names
    // are checked below, and libarchive refuses to write through a link that leads elsewhere.
    ArchivePtr writer(archive_write_disk_new(), archive_write_free);
    archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM
                                                     | ARCHIVE_EXTRACT_SECURE_SYMLINKS
                                                     | ARCHIVE_EXTRACT_SECURE_NODOTDOT);
    const QDir destination(destinationDirectory);
    for (;;) {
        archive_entry *entry = nullptr;
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF)
            break;
        if (status < ARCHIVE_WARN)
            return QStringLiteral("The engine archive is damaged: ") + archiveError(reader.get());
        const QString name = QString::fromUtf8(archive_entry_pathname(entry));
        if (!isSafeEntryName(name))
            return QStringLiteral("The engine archive was refused: its entry \"%1\" points outside the engine folder.").arg(name);
        archive_entry_set_pathname(entry, QFile::encodeName(destination.filePath(name)).constData());
        if (const char *hardlink = archive_entry_hardlink(entry)) {
            const QString target = QString::fromUtf8(hardlink);
            if (!isSafeEntryName(target))
                return QStringLiteral("The engine archive was refused: its entry \"%1\" points outside the engine folder.").arg(name);
            archive_entry_set_hardlink(entry, QFile::encodeName(destination.filePath(target)).constData());
        }
        if (archive_write_header(writer.get(), entry) < ARCHIVE_WARN)
            return QStringLiteral("The engine could not be unpacked: ") + archiveError(writer.get());
        const void *block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        for (;;) {
            const int read = archive_read_data_block(reader.get(), &block, &size, &offset);
            if (read == ARCHIVE_EOF)
                break;
            if (read < ARCHIVE_WARN)
                return QStringLiteral("The engine archive is damaged: ") + archiveError(reader.get());
            if (archive_write_data_block(writer.get(), block, size, offset) < ARCHIVE_WARN)
                return QStringLiteral("The engine could not be unpacked: ") + archiveError(writer.get());
        }
        if (archive_write_finish_entry(writer.get()) < ARCHIVE_WARN)
            return QStringLiteral("The engine could not be unpacked: ") + archiveError(writer.get());
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK)
        return QStringLiteral("The engine could not be unpacked: ") + archiveError(writer.get());
    return std::nullopt;
}

} // namespace ArchiveUnpacker
