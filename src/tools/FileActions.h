#pragma once

#include "tools/ActionError.h"

#include <QString>
#include <optional>

// The file tools. Every path is expanded first: a leading "~" becomes the home folder, and a
// relative path is taken from the current directory. Errors name the path exactly as given.
namespace FileActions {

QString expandPath(const QString &path);

// The whole file as UTF-8 text.
TextResult readFile(const QString &path);

// Writes `content` as UTF-8, atomically, creating missing parent folders. An existing file (or
// link) at the path is replaced; a link's target is never written through.
std::optional<ActionError> writeFile(const QString &content, const QString &path);

// The visible entries of one folder, folders marked with "/", one per line; "(empty)" when none.
TextResult listFiles(const QString &directory);

// Moves the file or folder to the user's Trash; never deletes.
std::optional<ActionError> trashFile(const QString &path);

} // namespace FileActions
