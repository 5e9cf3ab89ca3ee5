// fake-hub [--port N] [--script key=value,flag,…] [--repos repos.json]
//
// A local stand-in for the model hub on 127.0.0.1: generated files under
// "<repo>/resolve/main/<file>" and the API routes of the repositories in repos.json (see
// HubConnection.h). With no port (or 0) it picks a free one. Either way it prints "port <n>" on
// one line once it listens.

#include "HubConnection.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    quint16 port = 0;
    HubScript defaults;
    HubRepos repos;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--port")) {
            port = args[i + 1].toUShort();
        } else if (args[i] == QLatin1String("--repos")) {
            QFile file(args[i + 1]);
            if (!file.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "cannot read %s\n", qPrintable(args[i + 1]));
                return 2;
            }
            repos.repos = QJsonDocument::fromJson(file.readAll()).object();
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
            new HubConnection(socket, defaults, repos, &server);
    });
    std::printf("port %u\n", server.serverPort());
    std::fflush(stdout);
    return app.exec();
}
