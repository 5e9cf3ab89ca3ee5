#pragma once

#include "conversation/ToolCall.h"

#include <QString>
#include <qcorotask.h>

// Runs one tool call and returns its result as text; never fails outward. Holds no state.
namespace ToolExecutor {

QCoro::Task<QString> execute(ToolCall call);

} // namespace ToolExecutor
