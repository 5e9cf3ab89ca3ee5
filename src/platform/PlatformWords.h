#pragma once

#include <QString>

// The words that name the computer the app runs on, for every text that mentions it (the
// catalogue, the engine and onboarding screens), so no text says "Mac" on another system.
namespace PlatformWords {

// "Mac" on macOS, "Linux computer" elsewhere.
QString computerName();
// "any Mac" on macOS; elsewhere "any computer" (every Linux machine the app runs on counts).
QString anyComputer();

} // namespace PlatformWords
