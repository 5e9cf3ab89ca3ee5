#pragma once

#include <QString>

// The one application id, in reverse-DNS form. The desktop entry, the icon, the AppStream
// metadata and the single-instance socket are all named after it, so the desktop recognises
// every one of them as the same app.
namespace AppIdentity {

inline QString applicationId()
{
    return QStringLiteral("ai.morlo.MorloAI");
}

} // namespace AppIdentity
