#include "engine/BrewInstallState.h"

QString BrewInstallState::kindName() const
{
    switch (kind) {
    case Kind::idle:
        return QStringLiteral("idle");
    case Kind::installing:
        return QStringLiteral("installing");
    case Kind::succeeded:
        return QStringLiteral("succeeded");
    case Kind::failed:
        return QStringLiteral("failed");
    }
    return {};
}
