// fake-llama-server: answers like llama.cpp's llama-server on the command line the app uses
// (--model, --ctx-size, --port, --host, --n-predict, --n-gpu-layers, --no-mmap), with its start-up
// and its replies scripted by the JSON file named in MORLO_FAKE_ENGINE_SCRIPT.
//
// Beyond the shared script format: a streamed reply may combine "chunks", "repeat", "toolCalls"
// and "lines" (in that order) and end with "error" (an error event, then the stream closes),
// "cut", "hold" or "crash" (the process exits with 134 shortly after the last event); "engine":
// "recent" gives it a recent engine's shape (a role-only first chunk, no "usage" at the end) and
// "tokensPerSecond" the speed its last chunk reports; "rawBody" takes an optional "contentType".
// A key from --api-key or LLAMA_API_KEY guards every endpoint but /health and /v1/models. Each
// launch-log entry also carries "launch" (its number) and "pid", and "env" names
// LD_LIBRARY_PATH when it is set.
#include "EngineScript.h"
#include "HttpConnection.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace {

int signalNumber(const QString &name)
{
    if (name == QLatin1String("SIGBUS"))
        return SIGBUS;
    if (name == QLatin1String("SIGSEGV"))
        return SIGSEGV;
    if (name == QLatin1String("SIGABRT"))
        return SIGABRT;
    return name.toInt();
}

[[noreturn]] void dieBySignal(int signal)
{
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    ::_exit(128 + signal);
}

// Recent engines end cleanly on SIGTERM; older ones abort while shutting down, which a script
// imitates with "abortOnSigterm" so the app's stop path meets both exit statuses.
void abortOnTerminate(int)
{
    dieBySignal(SIGABRT);
}

void exitOnTerminate(int)
{
    ::_exit(0);
}

QString option(const QStringList &args, const QString &name, const QString &fallback)
{
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1) : fallback;
}

void writeAll(int fd, const QByteArray &data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n <= 0)
            return;
        done += n;
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // Scripted crashes must not leave core files behind.
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);

    const QStringList args = app.arguments();
    EngineScript script = EngineScript::load(args);
    const QJsonObject &start = script.start();

    std::signal(SIGTERM, start.value(QStringLiteral("ignoreSigterm")).toBool() ? SIG_IGN
                         : start.value(QStringLiteral("abortOnSigterm")).toBool() ? abortOnTerminate
                                                                                  : exitOnTerminate);

    QTcpServer server;
    if (!start.value(QStringLiteral("hang")).toBool()) {
        const QHostAddress host(option(args, QStringLiteral("--host"), QStringLiteral("127.0.0.1")));
        const quint16 port = option(args, QStringLiteral("--port"), QStringLiteral("8080")).toUShort();
        if (!server.listen(host, port)) {
            writeAll(STDERR_FILENO, "couldn't bind HTTP server socket, hostname: " + host.toString().toUtf8()
                                        + ", port: " + QByteArray::number(port) + "\n");
            return 1;
        }
        QObject::connect(&server, &QTcpServer::newConnection, &server, [&server, &script] {
            while (QTcpSocket *socket = server.nextPendingConnection())
                new HttpConnection(socket, script);
        });
    }

    writeAll(STDERR_FILENO, start.value(QStringLiteral("stderr")).toString().toUtf8());
    const qint64 stdoutBytes = start.value(QStringLiteral("stdoutBytes")).toInteger(0);
    const QByteArray logLine(79, 'l');
    for (qint64 written = 0; written < stdoutBytes; written += logLine.size() + 1)
        writeAll(STDOUT_FILENO, (logLine + '\n').left(stdoutBytes - written));

    if (start.contains(QStringLiteral("exitAfterMs"))) {
        QTimer::singleShot(start.value(QStringLiteral("exitAfterMs")).toInt(), [&start] {
            if (start.contains(QStringLiteral("signal")))
                dieBySignal(signalNumber(start.value(QStringLiteral("signal")).toString()));
            ::_exit(start.value(QStringLiteral("exitCode")).toInt(1));
        });
    }
    return app.exec();
}
