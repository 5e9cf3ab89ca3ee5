#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// How an engine that died before it was ready is classified, and what is tried next.
namespace RecoveryLadder {

// The settings one start of the engine ran with.
struct Attempt
{
    std::optional<int> gpuLayers; // none = the engine's own choice, 0 = CPU only
    bool noMmap = false;
    std::optional<int> contextSize; // none = the default context length
};

// How the engine process ended.
struct Termination
{
    bool bySignal = false; // an uncaught signal, rather than an exit
    int status = 0;        // the signal number or the exit code
};

enum class Rule {
    gpuBackendFailure,      // start again on the CPU, with the substitute GPU library
    mappedMemoryFault,      // start again without memory-mapping the model
    memoryPressure,         // start again with a small context
    repeatedMemoryFault,    // give up: nothing safer is left
    failure,                // give up and show the report
};

// "[crash signal N]" or "[exit N]", after the trimmed error output when there is any.
QString earlyExitReport(const QByteArray &errorOutput, Termination termination);

Rule chooseRule(const QString &report, Termination termination, const Attempt &failed);

// The settings of the start that `rule` makes after `failed`; only for the three retry rules.
Attempt nextAttempt(Rule rule, const Attempt &failed);

// Shown when the model keeps faulting even with the safest settings.
QString repeatedMemoryFaultText();

} // namespace RecoveryLadder
