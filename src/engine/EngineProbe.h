#pragma once

#include <QByteArray>
#include <QString>
#include <qcorotask.h>
#include <optional>

// Proves that an engine executable starts on this computer by running it with `--version`,
// before the app relies on it. A build that needs a library the system lacks, or processor
// instructions this CPU does not have, fails here with a message that names the cause, rather
// than later while a model loads.
namespace EngineProbe {

struct Outcome
{
    bool started = false;     // the program could be executed at all
    bool timedOut = false;
    bool bySignal = false;
    int status = 0;           // exit code or signal number
    QByteArray output;        // standard output and error together
    QString launchError;      // why it could not be executed
};

struct Result
{
    std::optional<QString> failure;  // none: the engine runs here
    QString version;                 // "version: 4748 (c392e5094)", when it said
};

// Runs `executable --version`; ends it after `timeoutMs`.
QCoro::Task<Result> probe(QString executable, int timeoutMs);

// The reading of one run, for the user.
Result interpret(const Outcome &outcome, int timeoutMs);

} // namespace EngineProbe
