#include "llm/ConnectionTester.h"

#include "llm/RemoteFailure.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QScopeGuard>
#include <qcoronetworkreply.h>

QCoro::Task<ConnectionTester::Result> ConnectionTester::fetchModels(QNetworkAccessManager *network, QUrl baseUrl,
                                                                    QString apiKey, std::chrono::milliseconds timeout)
{
    QNetworkRequest request(QUrl(baseUrl.toString() + QStringLiteral("/models")));
    // Qt ends a silent request with "operation cancelled"; nothing else cancels this one, so that
    // error means the server did not answer in time.
    request.setTransferTimeout(int(timeout.count()));
    if (!apiKey.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + apiKey.toUtf8());
    QNetworkReply *reply = network->get(request);
    const auto release = qScopeGuard([reply] { reply->deleteLater(); });
    co_await reply;

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = reply->readAll();
    if (status != 200)
        co_return Result{{}, RemoteFailure::forConnection(baseUrl, reply->error(), status, body, reply->errorString())};

    // OpenAI-style {"data":[{"id":…},…]}; anything else is not a model list.
    const QJsonValue data = QJsonDocument::fromJson(body).object().value(QLatin1String("data"));
    if (!data.isArray())
        co_return Result{{}, QStringLiteral("%1/models did not answer with a model list").arg(baseUrl.toString())};
    Result result;
    for (const QJsonValue &entry : data.toArray())
        if (const QString id = entry.toObject().value(QLatin1String("id")).toString(); !id.isEmpty())
            result.models.append(id);
    if (result.models.isEmpty())
        result.error = QStringLiteral("The server lists no models");
    co_return result;
}
