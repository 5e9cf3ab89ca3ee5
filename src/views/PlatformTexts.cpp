#include "PlatformTexts.h"

#include "platform/PlatformWords.h"

QString PlatformTexts::computerName()
{
    return PlatformWords::computerName();
}

QString PlatformTexts::homebrewInstallCommand()
{
    return QStringLiteral(
        "/bin/bash -c \"$(curl -fsSL https://raw.githubusercontent.com/Homebrew/install/HEAD/install.sh)\"");
}

QString PlatformTexts::installSubtitle()
{
    return QStringLiteral("Installs llama.cpp compiled for your %1.").arg(computerName());
}

QString PlatformTexts::installEngineText()
{
    return QStringLiteral("Install llama.cpp via Homebrew to run local AI models privately on your %1.")
        .arg(computerName());
}

QString PlatformTexts::downloadEngineText()
{
    return QStringLiteral("Morlo AI runs models with llama.cpp. Download its official build to run local AI "
                          "models privately on your %1.")
        .arg(computerName());
}

QString PlatformTexts::starterModelMessage()
{
    return QStringLiteral("No models downloaded yet. Llama 3.2 3B Instruct is fast and works on %1.")
        .arg(PlatformWords::anyComputer());
}
