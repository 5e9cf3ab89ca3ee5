#include "llm/RemoteFailure.h"

#include "llm/OAITypes.h"

namespace RemoteFailure {

namespace {

QString hostAndPort(const QUrl &url)
{
    return url.port() < 0 ? url.host() : QStringLiteral("%1:%2").arg(url.host()).arg(url.port());
}

bool isTlsError(QNetworkReply::NetworkError error)
{
    return error == QNetworkReply::SslHandshakeFailedError || error == QNetworkReply::UnknownNetworkError
        || error == QNetworkReply::ProtocolFailure || error == QNetworkReply::TooManyRedirectsError
        || error == QNetworkReply::InsecureRedirectError;
}

// Texts shared by the connection test and a turn: the server could not be reached at all.
QString unreachable(const QUrl &url, QNetworkReply::NetworkError error, const QString &qtText)
{
    switch (error) {
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("No server named %1 was found — check the address").arg(url.host());
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("Nothing answers at %1 — is the server running?").arg(hostAndPort(url));
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::TimeoutError:
        return QStringLiteral("%1 did not answer in time").arg(hostAndPort(url));
    default:
        break;
    }
    if (url.scheme() == QLatin1String("https") && isTlsError(error))
        return QStringLiteral("The secure connection to %1 failed: %2").arg(hostAndPort(url), qtText);
    return QStringLiteral("Cannot reach %1: %2").arg(hostAndPort(url), qtText);
}

} // namespace

QString serverMessage(const QByteArray &body)
{
    if (const auto decoded = OAIErrorResponse::decode(body))
        return decoded->error.message;
    // Some servers put the message at the top level or answer with plain text.
    return QString::fromUtf8(body).simplified().left(300);
}

QString forConnection(const QUrl &baseUrl, QNetworkReply::NetworkError error, int status,
                      const QByteArray &body, const QString &qtText)
{
    if (status == 401 || status == 403)
        return refusedKey;
    if (status == 404)
        return QStringLiteral("%1/models was not found — the address usually ends in /v1")
            .arg(baseUrl.toString());
    if (status > 0 && status != 200) {
        const QString message = serverMessage(body);
        return message.isEmpty() ? QStringLiteral("The server answered %1").arg(status)
                                 : QStringLiteral("The server answered %1: %2").arg(status).arg(message);
    }
    return unreachable(baseUrl, error, qtText);
}

LLMError forTurn(const LLMError &error, const QString &server, const QString &model, bool partial)
{
    if (error.isCancellation())
        return error;
    LLMError words = error;
    // An HTTP status, or an error the server sent inside its stream with one.
    if (error.domain == QLatin1String("LLM") && error.code >= 400) {
        const int status = error.code;
        if (status == 401 || status == 403)
            words.description = refusedKey;
        else if (status == 404)
            words.description = QStringLiteral("%1 no longer serves the model %2 — choose another model").arg(server, model);
        else if (status == 429)
            words.description = error.retryAfterSeconds
                ? QStringLiteral("%1 is busy — try again in %2 seconds").arg(server).arg(*error.retryAfterSeconds)
                : QStringLiteral("%1 is busy — try again later").arg(server);
        else if (status >= 500)
            words.description = QStringLiteral("%1 failed: %2").arg(server, error.description);
        return words;
    }
    if (partial)
        words.description = QStringLiteral("The connection to %1 was lost in the middle of the reply").arg(server);
    else
        words.description = QStringLiteral("Cannot reach %1: %2").arg(server, error.description);
    return words;
}

} // namespace RemoteFailure
