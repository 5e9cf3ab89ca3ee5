#pragma once

#include <QString>

namespace LocalModels {

// The downloaded model files, one line each ("name.gguf (1.9 GB)"), or "No models downloaded yet".
QString listLocalModels();

} // namespace LocalModels
