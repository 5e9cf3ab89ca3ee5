#include "engine/RecoveryLadder.h"

#include "engine/Utf8Text.h"

#include <QStringList>

#include <csignal>

namespace RecoveryLadder {

namespace {
constexpr int reducedContextSize = 2048;
}

QString earlyExitReport(const QByteArray &errorOutput, Termination termination)
{
    const QString text = decodeUtf8Strictly(errorOutput).value_or(QString()).trimmed();
    const QString tag = termination.bySignal
        ? QStringLiteral("[crash signal %1]").arg(termination.status)
        : QStringLiteral("[exit %1]").arg(termination.status);
    return text.isEmpty() ? tag : text + QLatin1Char('\n') + tag;
}

Rule chooseRule(const QString &report, Termination termination, const Attempt &failed)
{
    // The engine names its GPU backend in its log when it cannot use it.
    if (!failed.gpuLayers && report.toLower().contains(QLatin1String("ggml_metal")))
        return Rule::gpuBackendFailure;
    // A bus error is how a fault in the memory-mapped model file shows; an exit code of the
    // same number is something else.
    if (termination.bySignal && termination.status == SIGBUS) {
        if (!failed.noMmap)
            return Rule::mappedMemoryFault;
        if (!failed.contextSize)
            return Rule::memoryPressure;
        return Rule::repeatedMemoryFault;
    }
    return Rule::failure;
}

Attempt nextAttempt(Rule rule, const Attempt &failed)
{
    Attempt next = failed;
    switch (rule) {
    case Rule::gpuBackendFailure:
        next.gpuLayers = 0;
        next.contextSize.reset();
        break;
    case Rule::mappedMemoryFault:
        next.noMmap = true;
        break;
    case Rule::memoryPressure:
        next.noMmap = true;
        next.contextSize = reducedContextSize;
        break;
    case Rule::repeatedMemoryFault:
    case Rule::failure:
        break;
    }
    return next;
}

QString repeatedMemoryFaultText()
{
    // The text keeps the macOS signal number users find in crash reports and forum answers.
    return QStringList{
        QStringLiteral("This model repeatedly crashed with a memory error (signal 10)."),
        QString(),
        QStringLiteral("Possible fixes:"),
        QStringLiteral("• Run 'brew upgrade llama.cpp' in Terminal to update the engine."),
        QStringLiteral("• Try a smaller quantization like Q4_K_M or Q3_K_S."),
        QStringLiteral("• The model may be too large for available RAM."),
    }.join(QLatin1Char('\n'));
}

} // namespace RecoveryLadder
