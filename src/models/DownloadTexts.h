#pragma once

#include <QDateTime>
#include <QString>

// The texts a running download shows under its progress bar.
namespace DownloadTexts {

// "1536 / 2048 MB · 75%", or "12 MB · 0%" while the server has not announced a length.
QString progressText(double progress, qint64 downloadedBytes, qint64 totalBytes);

// "Estimating…" until there is enough to go on, then "42s left" or "2:05 left".
QString remainingTimeText(const QDateTime &startTime, double progress, const QDateTime &now);

} // namespace DownloadTexts
