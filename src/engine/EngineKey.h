#pragma once

#include <QString>

// The secret an engine run requires on every request but /health. The engine answers any web
// page that asks (it allows every origin) and any program on the machine; with a key only the
// app can use it. A new key for every launch, so a key that leaked dies with its engine.
namespace EngineKey {

QString generate();

// The engine reads its key from this variable of its environment: unlike its command line,
// which every user of the machine can list, the environment is readable by its owner only.
inline constexpr char environmentVariable[] = "LLAMA_API_KEY";

} // namespace EngineKey
