#pragma once

#include "conversation/ToolCall.h"
#include "tools/ToolCallResolver.h"

#include <QString>
#include <qcorotask.h>

// Runs one tool call and returns its result as text; never fails outward. Holds no state.
namespace ToolExecutor {

// Resolves the call and runs it.
QCoro::Task<QString> execute(ToolCall call);
// Runs exactly the resolved action (the one the user approved); a refused action only returns
// why it was refused.
QCoro::Task<QString> execute(ResolvedAction action);

// Whether a result reports that the action did not happen (an error, a missing argument, an
// unknown tool, a failed screenshot).
bool isFailure(const QString &result);

} // namespace ToolExecutor
