#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>

// Every outside location and fixed time the engine manager depends on. Production code uses
// standard(); tests point the paths at temporary folders holding the fake engine and a fake
// brew, pick a free port and shorten the waits.
struct EngineEnvironment
{
    // Where an engine is looked for, in this order (the first executable file wins):
    // the llama.cpp build the app downloaded into `engineDirectory` (empty = none);
    // Homebrew's and Linuxbrew's engines;
    QStringList engineCandidates;
    // `llama-server` on the PATH when `searchSystemPath`, then these fixed paths;
    bool searchSystemPath = false;
    QStringList systemEngineCandidates;
    // and last a file the user chose (kept in the defaults store).

    // "<data folder>/Morlo AI/engine": one folder per downloaded release, `current` names the
    // one in use. Empty: the app neither downloads nor looks for a downloaded engine.
    QString engineDirectory;
    // llama.cpp's releases API; mirrors and tests point it elsewhere.
    QUrl releasesURL = QUrl(QStringLiteral("https://api.github.com/repos/ggml-org/llama.cpp/releases/latest"));
    // Whether to fetch the Vulkan GPU build; none = decide from this machine.
    std::optional<bool> preferVulkan;
    // Homebrew, first existing file wins.
    QStringList homebrewLocations;
    // PATH handed to brew.
    QString brewPath;
    // The C compiler for the substitute GPU library.
    QString compilerPath;
    // "<data folder>/Morlo AI/metal-stub"; empty when there is no data folder.
    QString metalStubDirectory;
    // Where the pid of the engine we started is recorded, so a later run can end a leftover.
    QString enginePidFile;

    // The engine listens on the first free one of `portCount` ports from `port` on.
    int port = 8080;
    int portCount = 20;
    int pollIntervalMs = 500;   // first wait after launch, and between health polls
    int lastPoll = 120;         // about 60 s of polling
    int healthTimeoutMs = 3000; // one health request
    int stopGraceMs = 3000;     // between asking an engine to end and forcing it
    int probeTimeoutMs = 15000; // `llama-server --version` of a new engine

    static EngineEnvironment standard();
};
