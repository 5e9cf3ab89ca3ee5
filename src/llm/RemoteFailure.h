#pragma once

#include "llm/LLMClient.h"

#include <QByteArray>
#include <QNetworkReply>
#include <QString>
#include <QUrl>

// What went wrong with a server elsewhere, in words the user can act on. Local-engine errors keep
// the engine's own texts; these are for servers the user added.
namespace RemoteFailure {

inline const QString refusedKey = QStringLiteral("The server refused the API key");

// The message of an OpenAI-style error body, or the body's text when it is not one.
QString serverMessage(const QByteArray &body);

// A failed GET <base>/models: DNS, refused, TLS, timeout, 401/403, 404, other statuses.
QString forConnection(const QUrl &baseUrl, QNetworkReply::NetworkError error, int status,
                      const QByteArray &body, const QString &qtText);

// A failed chat request to `server` for `model`. `partial` is true when part of the reply had
// already arrived, so a lost connection is a reply cut short rather than a server out of reach.
LLMError forTurn(const LLMError &error, const QString &server, const QString &model, bool partial);

} // namespace RemoteFailure
