#include "llm/RemoteServer.h"

#include <QHostAddress>

QString RemoteServer::keyReference() const
{
    return QStringLiteral("server/") + id.toString(QUuid::WithoutBraces).toUpper();
}

QUrl RemoteServer::normalizedUrl(const QString &baseUrl)
{
    QString text = baseUrl.trimmed();
    while (text.endsWith(QLatin1Char('/')))
        text.chop(1);
    return QUrl(text, QUrl::StrictMode);
}

QString RemoteServer::validate(const QString &name, const QString &baseUrl)
{
    if (name.trimmed().isEmpty())
        return QStringLiteral("Give the server a name.");
    const QUrl url = normalizedUrl(baseUrl);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return QStringLiteral("Enter an address like https://host:port/v1.");
    return {};
}

QString RemoteServer::plainHttpWarning(const QUrl &baseUrl)
{
    if (baseUrl.scheme().toLower() != QLatin1String("http"))
        return {};
    const QString host = baseUrl.host();
    const QHostAddress address(host);
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 || (!address.isNull() && address.isLoopback()))
        return {};
    return QStringLiteral("Messages to %1 are not encrypted").arg(host);
}
