#include "engine/EngineProbe.h"

#include "engine/EngineLocator.h"

#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <qcoroprocess.h>

#include <chrono>
#include <csignal>

namespace EngineProbe {

QCoro::Task<Result> probe(QString executable, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setProgram(executable);
    // Probed as it will run: a downloaded or chosen engine with its own libraries.
    process.setProcessEnvironment(EngineLocator::withOwnLibraries(executable, QProcessEnvironment::systemEnvironment()));
    process.setArguments({QStringLiteral("--version")});
    Outcome outcome;
    auto running = qCoro(process);
    outcome.started = co_await running.start(QIODevice::ReadOnly, std::chrono::milliseconds(timeoutMs));
    if (!outcome.started) {
        outcome.launchError = process.errorString();
        co_return interpret(outcome, timeoutMs);
    }
    // Waiting on a process that has already ended reports a failure: look at the state instead.
    if (process.state() != QProcess::NotRunning)
        co_await running.waitForFinished(std::chrono::milliseconds(timeoutMs));
    outcome.timedOut = process.state() != QProcess::NotRunning;
    if (outcome.timedOut) {
        process.kill();
        process.waitForFinished(1000);
    }
    outcome.output = process.readAll();
    outcome.bySignal = process.exitStatus() == QProcess::CrashExit;
    outcome.status = process.exitCode();
    co_return interpret(outcome, timeoutMs);
}

Result interpret(const Outcome &outcome, int timeoutMs)
{
    Result result;
    const QString output = QString::fromUtf8(outcome.output).trimmed();
    const QRegularExpression versionLine(QStringLiteral("^version: .+$"), QRegularExpression::MultilineOption);
    result.version = versionLine.match(output).captured(0);

    if (!outcome.started) {
        result.failure = QStringLiteral("This llama-server cannot be run on this computer: %1.").arg(outcome.launchError);
        return result;
    }
    // The dynamic loader's own words: "…: error while loading shared libraries: libgomp.so.1: …".
    const QRegularExpression missingLibrary(QStringLiteral("error while loading shared libraries: ([^:\\s]+)"));
    if (const auto match = missingLibrary.match(output); match.hasMatch()) {
        result.failure = QStringLiteral("This llama-server needs the system library %1, which is not installed. "
                                        "Install the package that provides it, then try again.")
                             .arg(match.captured(1));
        return result;
    }
    // A build made on a newer system: "…: version `GLIBC_2.38' not found (required by …)".
    const QRegularExpression tooOld(QStringLiteral("version `([A-Z]+)_([0-9.]+)' not found"));
    if (const auto match = tooOld.match(output); match.hasMatch()) {
        result.failure = QStringLiteral("This llama-server was built for a newer system: it needs %1 %2, which this "
                                        "computer's system libraries do not provide.")
                             .arg(match.captured(1), match.captured(2));
        return result;
    }
    if (outcome.timedOut) {
        result.failure = QStringLiteral("This llama-server did not answer --version within %1 seconds.")
                             .arg(timeoutMs / 1000.0, 0, 'g', 3);
        return result;
    }
    if (outcome.bySignal && outcome.status == SIGILL) {
        result.failure = QStringLiteral("This llama-server needs processor instructions that this computer's CPU "
                                        "does not have (illegal instruction).");
        return result;
    }
    if (outcome.bySignal || outcome.status != 0) {
        const QString how = outcome.bySignal ? QStringLiteral("crashed (signal %1)").arg(outcome.status)
                                             : QStringLiteral("exited with status %1").arg(outcome.status);
        const QString tail = output.section(QLatin1Char('\n'), -3);
        result.failure = QStringLiteral("This llama-server %1 when asked for its version%2")
                             .arg(how, tail.isEmpty() ? QStringLiteral(".") : QStringLiteral(": ") + tail);
        return result;
    }
    return result;
}

} // namespace EngineProbe
