#pragma once

#include <QString>
#include <optional>

// Unpacks an engine archive (`.tar.gz` or `.zip`, told apart by their content) into a folder.
// An entry with an absolute path or a `..` step would write outside that folder: the whole
// archive is then refused. Blocking; run it off the GUI thread.
namespace ArchiveUnpacker {

// None when every entry is in place; otherwise what went wrong, for the user. On failure the
// folder may hold part of the archive: the caller unpacks into a folder of its own and removes it.
std::optional<QString> unpack(const QString &archivePath, const QString &destinationDirectory);

// Whether an entry name stays inside the folder it is unpacked into.
bool isSafeEntryName(const QString &name);

} // namespace ArchiveUnpacker
