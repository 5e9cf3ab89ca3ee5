#include "platform/PlatformWords.h"

namespace PlatformWords {

QString computerName()
{
#ifdef Q_OS_MACOS
    return QStringLiteral("Mac");
#else
    return QStringLiteral("Linux computer");
#endif
}

QString anyComputer()
{
#ifdef Q_OS_MACOS
    return QStringLiteral("any Mac");
#else
    return QStringLiteral("any computer");
#endif
}

} // namespace PlatformWords
