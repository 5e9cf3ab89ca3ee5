#pragma once

#include <QDateTime>
#include <QString>

// The texts a running download shows under its progress bar.
namespace DownloadTexts {

// "1536 / 2048 MB · 75%", or "12 MB · 0%" while the server has not announced a length.
QString progressText(double progress, qint64 downloadedBytes, qint64 totalBytes);

// "2.0 GB" from one gigabyte up (1 GB = 2^30 bytes), "512 MB" below.
QString sizeText(double gigabytes);
QString sizeText(qint64 bytes);

// "Estimating…" until there is enough to go on, then "42s left" or "2:05 left".
// `startProgress` is the share a resumed download already had when it started, so the rate
// counts only what this run moved.
QString remainingTimeText(const QDateTime &startTime, double progress, const QDateTime &now,
                          double startProgress = 0.0);

} // namespace DownloadTexts
