#include "engine/EngineEnvironment.h"

#include "platform/AppPaths.h"

#include <QDir>
#include <QStandardPaths>

EngineEnvironment EngineEnvironment::standard()
{
    EngineEnvironment environment;
    // Homebrew's two macOS prefixes, then Homebrew on Linux. On Linux /usr/local is not
    // Homebrew's: an engine there is the user's own build, found on the PATH as "system".
#ifdef Q_OS_MACOS
    environment.engineCandidates = {
        QStringLiteral("/opt/homebrew/bin/llama-server"),
        QStringLiteral("/usr/local/bin/llama-server"),
        QStringLiteral("/opt/homebrew/bin/llama-cli"),
        QStringLiteral("/usr/local/bin/llama-cli"),
    };
#else
    environment.engineCandidates = {
        QStringLiteral("/opt/homebrew/bin/llama-server"),
        QStringLiteral("/opt/homebrew/bin/llama-cli"),
        QStringLiteral("/home/linuxbrew/.linuxbrew/bin/llama-server"),
    };
#endif
    environment.searchSystemPath = true;
    environment.systemEngineCandidates = {QStringLiteral("/usr/bin/llama-server")};
    environment.homebrewLocations = {
        QStringLiteral("/opt/homebrew/bin/brew"),
        QStringLiteral("/usr/local/bin/brew"),
        QStringLiteral("/home/linuxbrew/.linuxbrew/bin/brew"),
    };
    environment.brewPath = QStringLiteral(
        "/opt/homebrew/bin:/opt/homebrew/sbin:/usr/local/bin:/usr/bin:/bin:/home/linuxbrew/.linuxbrew/bin");
    environment.compilerPath = QStringLiteral("/usr/bin/cc");
    // Without a per-user data folder there is nowhere to keep the substitute library.
    if (!QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).isEmpty()) {
        const QDir appSupport(AppPaths::appSupportDirectory());
        environment.metalStubDirectory = appSupport.filePath(QStringLiteral("metal-stub"));
        environment.enginePidFile = appSupport.filePath(QStringLiteral("engine.pid"));
#ifndef Q_OS_MACOS
        // On macOS the engine comes from Homebrew; elsewhere the app fetches llama.cpp's build.
        environment.engineDirectory = appSupport.filePath(QStringLiteral("engine"));
#endif
    }
    return environment;
}
