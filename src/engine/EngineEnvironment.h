#pragma once

#include <QString>
#include <QStringList>

// Every outside location and fixed time the engine manager depends on. Production code uses
// standard(); tests point the paths at temporary folders holding the fake engine and a fake
// brew, pick a free port and shorten the waits.
struct EngineEnvironment
{
    // Engine executables, first executable file wins.
    QStringList engineCandidates;
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

    static EngineEnvironment standard();
};
