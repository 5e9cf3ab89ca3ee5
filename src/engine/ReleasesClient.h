#pragma once

#include "engine/EngineRelease.h"

#include <QString>
#include <QUrl>
#include <qcorotask.h>
#include <variant>

class QNetworkAccessManager;

// Asks llama.cpp's releases API for its latest release.
namespace ReleasesClient {

// The release, or a text for the user: "GitHub is not reachable — check your connection" when
// no answer came, the API's own message when it refused (such as its rate limit).
using Lookup = std::variant<EngineRelease, QString>;

QCoro::Task<Lookup> fetchLatest(QNetworkAccessManager *network, QUrl releasesURL, int timeoutMs);

// The reading of one answer: `status` 0 means no HTTP answer arrived.
Lookup interpret(int status, const QByteArray &body);

} // namespace ReleasesClient
