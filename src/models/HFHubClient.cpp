#include "models/HFHubClient.h"

#include "models/GgufFile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSet>
#include <qcoronetworkreply.h>

namespace {
// Every API call is small; one that takes longer than this is not coming.
constexpr int apiTimeoutMs = 30'000;
const QRegularExpression repoPattern(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]*/[A-Za-z0-9][A-Za-z0-9._-]*$"));
} // namespace

HFHubClient::HFHubClient(QUrl hubBaseURL, QObject *parent)
    : QObject(parent)
    , m_hubBaseURL(std::move(hubBaseURL))
    , m_network(new QNetworkAccessManager(this))
{
}

std::optional<HubReference> HFHubClient::parseReference(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (repoPattern.match(trimmed).hasMatch())
        return HubReference{trimmed, {}};
    const QUrl url(trimmed, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return std::nullopt;
    QStringList segments = url.path().split(QLatin1Char('/'), Qt::SkipEmptyParts);
    // Addresses of datasets and spaces name no model.
    if (segments.size() < 2 || segments.first() == QLatin1String("datasets") || segments.first() == QLatin1String("spaces"))
        return std::nullopt;
    HubReference reference{segments[0] + QLatin1Char('/') + segments[1], {}};
    if (!repoPattern.match(reference.repo).hasMatch())
        return std::nullopt;
    // …/resolve/<revision>/<file> or …/blob/<revision>/<file>
    if (segments.size() >= 5 && (segments[2] == QLatin1String("resolve") || segments[2] == QLatin1String("blob")))
        reference.filename = segments.mid(4).join(QLatin1Char('/'));
    return reference;
}

QString HFHubClient::refusalText(int status, const QByteArray &body)
{
    if (status == 401 || status == 403)
        return QStringLiteral("This model needs a hub account token");
    QString message = QJsonDocument::fromJson(body).object().value(QStringLiteral("error")).toString();
    if (message.isEmpty())
        message = QString::fromUtf8(body).trimmed().left(300);
    return QStringLiteral("%1 — %2").arg(status).arg(message);
}

QCoro::Task<HubAnswer<QByteArray>> HFHubClient::get(QString pathAndQuery)
{
    QNetworkRequest request(QUrl(m_hubBaseURL.toString() + pathAndQuery));
    request.setTransferTimeout(apiTimeoutMs);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Morlo AI/1.0 (macOS; like Safari)"));
    if (!m_token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + m_token.toUtf8());
    // The token belongs to the hub: no redirect may carry it elsewhere.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    QNetworkReply *reply = co_await m_network->get(request);
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = reply->readAll();
    if (status >= 200 && status < 300)
        co_return HubAnswer<QByteArray>{body, {}, status};
    if (status == 0)
        co_return HubAnswer<QByteArray>{std::nullopt, QStringLiteral("The hub cannot be reached: ") + reply->errorString(), 0};
    co_return HubAnswer<QByteArray>{std::nullopt, refusalText(status, body), status};
}

QCoro::Task<HubAnswer<QList<HFHubFile>>> HFHubClient::listFiles(QString repo)
{
    const HubAnswer<QByteArray> info = co_await get(QStringLiteral("api/models/") + repo);
    if (!info.value)
        co_return HubAnswer<QList<HFHubFile>>{std::nullopt, info.error, info.status};
    QSet<QString> ggufNames;
    for (const QJsonValue &sibling : QJsonDocument::fromJson(*info.value).object().value(QStringLiteral("siblings")).toArray()) {
        const QString name = sibling.toObject().value(QStringLiteral("rfilename")).toString();
        if (name.endsWith(QLatin1String(".gguf"), Qt::CaseInsensitive))
            ggufNames.insert(name);
    }
    const HubAnswer<QByteArray> tree = co_await get(QStringLiteral("api/models/") + repo + QStringLiteral("/tree/main?recursive=true"));
    QHash<QString, QJsonObject> entries;
    if (tree.value)
        for (const QJsonValue &entry : QJsonDocument::fromJson(*tree.value).array())
            entries.insert(entry.toObject().value(QStringLiteral("path")).toString(), entry.toObject());

    QList<HFHubFile> files;
    QStringList names(ggufNames.begin(), ggufNames.end());
    names.sort();
    for (const QString &name : std::as_const(names)) {
        const QStringList parts = GgufFile::splitParts(name);
        // A split model is offered once, by its first part.
        if (parts.first() != name)
            continue;
        HFHubFile file{name, 0, {}, GgufFile::quantizationFromFileName(name.section(QLatin1Char('/'), -1))};
        const QJsonObject entry = entries.value(name);
        file.sizeBytes = entry.value(QStringLiteral("size")).toInteger();
        file.sha256 = entry.value(QStringLiteral("lfs")).toObject().value(QStringLiteral("oid")).toString().toLatin1().toLower();
        files.append(file);
    }
    if (files.isEmpty())
        co_return HubAnswer<QList<HFHubFile>>{std::nullopt, QStringLiteral("%1 has no GGUF files").arg(repo), 0};
    co_return HubAnswer<QList<HFHubFile>>{files, {}, 200};
}

QCoro::Task<HubAnswer<QList<HFHubRepository>>> HFHubClient::search(QString query)
{
    const HubAnswer<QByteArray> answer = co_await get(
        QStringLiteral("api/models?search=") + QString::fromLatin1(QUrl::toPercentEncoding(query))
        + QStringLiteral("&filter=gguf&sort=downloads&limit=20"));
    if (!answer.value)
        co_return HubAnswer<QList<HFHubRepository>>{std::nullopt, answer.error, answer.status};
    QList<HFHubRepository> found;
    for (const QJsonValue &value : QJsonDocument::fromJson(*answer.value).array()) {
        const QJsonObject entry = value.toObject();
        const QString id = entry.value(QStringLiteral("id")).toString();
        if (!id.isEmpty())
            found.append({id, entry.value(QStringLiteral("downloads")).toInteger(), entry.value(QStringLiteral("likes")).toInteger()});
    }
    co_return HubAnswer<QList<HFHubRepository>>{found, {}, 200};
}
