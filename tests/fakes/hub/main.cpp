// fake-hub [--port N] [--script key=value,flag,…]
//
// Serves generated model files under "<repo>/resolve/main/<file>" on 127.0.0.1. With no port (or
// 0) it picks a free one. Either way it prints "port <n>" on one line once it listens.

#include "HubConnection.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    quint16 port = 0;
    HubScript defaults;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--port")) {
            port = args[i + 1].toUShort();
        } else if (args[i] == QLatin1String("--script")) {
            if (!defaults.apply(args[i + 1].toUtf8())) {
                std::fprintf(stderr, "bad script: %s\n", qPrintable(args[i + 1]));
                return 2;
            }
        }
    }

    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, port)) {
        std::fprintf(stderr, "cannot listen: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&] {
        while (QTcpSocket *socket = server.nextPendingConnection())
            new HubConnection(socket, defaults, &server);
    });
    std::printf("port %u\n", server.serverPort());
    std::fflush(stdout);
    return app.exec();
}
