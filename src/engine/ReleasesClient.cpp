#include "engine/ReleasesClient.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <qcoronetworkreply.h>

namespace ReleasesClient {

QCoro::Task<Lookup> fetchLatest(QNetworkAccessManager *network, QUrl releasesURL, int timeoutMs)
{
    QNetworkRequest request(releasesURL);
    request.setTransferTimeout(timeoutMs);
    // The API refuses requests without a User-Agent.
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Morlo AI/1.0"));
    request.setRawHeader("Accept", "application/vnd.github+json");
    QPointer<QNetworkReply> reply = network->get(request);
    co_await reply.get();
    if (!reply)
        co_return QStringLiteral("GitHub is not reachable — check your connection");
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    co_return interpret(status, reply->readAll());
}

Lookup interpret(int status, const QByteArray &body)
{
    if (status == 0)
        return QStringLiteral("GitHub is not reachable — check your connection");
    if (status != 200) {
        const QString message = QJsonDocument::fromJson(body).object().value(QStringLiteral("message")).toString();
        return message.isEmpty() ? QStringLiteral("GitHub answered with status %1.").arg(status) : message;
    }
    if (auto release = EngineRelease::fromJson(body))
        return *release;
    return QStringLiteral("The list of llama.cpp releases could not be read.");
}

} // namespace ReleasesClient
