#pragma once

#include "tools/ActionError.h"
#include "tools/ToolCallResolver.h"

#include <QString>
#include <optional>

// The file tools. Each acts on the path as resolved for the approval card (`value`) and never
// reads the model's text again; errors name the path exactly as the model gave it.
namespace FileActions {

// The whole file as UTF-8 text.
TextResult readFile(const ResolvedArgument &path);

// Writes `content` as UTF-8, atomically, creating missing parent folders. An existing file (or
// link) at the path is replaced; a link's target is never written through.
std::optional<ActionError> writeFile(const QString &content, const ResolvedArgument &path);

// The visible entries of one folder, folders marked with "/", one per line; "(empty)" when none.
TextResult listFiles(const ResolvedArgument &directory);

// Moves the file or folder to the user's Trash; never deletes.
std::optional<ActionError> trashFile(const ResolvedArgument &path);

} // namespace FileActions
