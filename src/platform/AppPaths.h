#pragma once

#include <QString>

// Where Morlo AI keeps its files. On Linux the per-user data folder is ~/.local/share
// (XDG_DATA_HOME), on macOS ~/Library/Application Support.
namespace AppPaths {

// "<data folder>/Morlo AI", created (with parents) on every call; a failure to create is ignored.
QString appSupportDirectory();

// "<app support>/models", created on every call: one sub-folder per hub repository.
QString modelsDirectory();

// The archive of stored conversations, kept beside the models rather than inside the settings
// file so it can be replaced atomically.
QString chatArchivePath();

} // namespace AppPaths
