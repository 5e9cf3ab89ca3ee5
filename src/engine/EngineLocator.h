#pragma once

#include "engine/EngineEnvironment.h"

#include <QProcessEnvironment>
#include <QString>
#include <optional>

// Where the engine in use came from; decides what the app may do with it (only a downloaded
// or a Homebrew engine can be removed by the app).
enum class EngineSource { downloaded, homebrew, system, chosenFile };

struct EngineChoice
{
    QString path;         // the executable to start
    EngineSource source;
    QString releaseTag;   // "b4748" for a downloaded engine, else empty

    // "downloaded b4748", "Homebrew", "system" or "chosen file".
    QString sourceLabel() const;
    // "downloaded", "homebrew", "system", "chosenFile": for the views to choose what to offer.
    QString sourceKey() const;
    // Whether it is a loose release folder whose libraries lie beside the program.
    bool bringsOwnLibraries() const { return source == EngineSource::downloaded || source == EngineSource::chosenFile; }
};

// Decides which engine is used. Sources, in order: the release the app downloaded, Homebrew
// (and Linuxbrew), `llama-server` on the PATH and the system's fixed paths, then a file the
// user chose. Read afresh on every call, so an engine installed or removed meanwhile counts.
namespace EngineLocator {

std::optional<EngineChoice> locate(const EngineEnvironment &environment, const QString &chosenFile);

// "<engine directory>/current": the link naming the folder that holds the downloaded
// `llama-server`.
QString currentLink(const QString &engineDirectory);
// The release tag of the downloaded engine in use ("b4748"), or empty.
QString installedReleaseTag(const QString &engineDirectory);

// llama.cpp's release builds keep their shared libraries (libllama.so, libggml*.so) beside
// llama-server without telling the loader where: `base` with that folder put first on the
// loader's path.
QProcessEnvironment withOwnLibraries(const QString &executable, QProcessEnvironment base);

} // namespace EngineLocator
