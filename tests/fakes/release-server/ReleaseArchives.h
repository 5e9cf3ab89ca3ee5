#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// One file an archive holds.
struct ArchiveEntry
{
    QString name;          // as written into the archive, unchecked ("../x" and "/x" too)
    QByteArray content;
    bool executable = false;
};

// Writes a real `.tar.gz` or `.zip` (by the name's ending); false when it cannot be written.
bool writeArchive(const QString &path, const QList<ArchiveEntry> &entries);
