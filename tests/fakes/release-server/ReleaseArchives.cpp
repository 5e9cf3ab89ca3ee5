#include "ReleaseArchives.h"

#include <QFile>

#include <archive.h>
#include <archive_entry.h>

bool writeArchive(const QString &path, const QList<ArchiveEntry> &entries)
{
    archive *writer = archive_write_new();
    if (path.endsWith(QLatin1String(".zip"))) {
        archive_write_set_format_zip(writer);
    } else {
        archive_write_set_format_pax_restricted(writer);
        archive_write_add_filter_gzip(writer);
    }
    bool ok = archive_write_open_filename(writer, QFile::encodeName(path).constData()) == ARCHIVE_OK;
    for (const ArchiveEntry &file : entries) {
        if (!ok)
            break;
        archive_entry *entry = archive_entry_new();
        archive_entry_set_pathname(entry, file.name.toUtf8().constData());
        archive_entry_set_size(entry, file.content.size());
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, file.executable ? 0755 : 0644);
        ok = archive_write_header(writer, entry) == ARCHIVE_OK
            && archive_write_data(writer, file.content.constData(), file.content.size()) == file.content.size();
        archive_entry_free(entry);
    }
    ok = archive_write_close(writer) == ARCHIVE_OK && ok;
    archive_write_free(writer);
    return ok;
}
