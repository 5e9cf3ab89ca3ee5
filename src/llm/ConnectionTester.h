#pragma once

#include <QStringList>
#include <QUrl>
#include <chrono>
#include <qcorotask.h>

class QNetworkAccessManager;

// Asks a server which models it serves (GET <base>/models, with the key as a bearer token) and
// says in words why it could not be asked.
class ConnectionTester
{
public:
    struct Result
    {
        QStringList models; // the ids the server lists, in its order
        QString error;      // empty when the server answered with its list
        bool ok() const { return error.isEmpty(); }
    };

    static QCoro::Task<Result> fetchModels(QNetworkAccessManager *network, QUrl baseUrl, QString apiKey,
                                           std::chrono::milliseconds timeout);
};
