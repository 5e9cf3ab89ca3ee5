#include "models/DownloadTexts.h"

namespace DownloadTexts {

namespace {
constexpr double bytesPerMB = 1048576.0;
constexpr double bytesPerGB = 1073741824.0;
// Below these the rate seen so far says too little to extrapolate from.
constexpr double minimumProgress = 0.02;
constexpr double minimumElapsedSeconds = 0.5;
} // namespace

QString progressText(double progress, qint64 downloadedBytes, qint64 totalBytes)
{
    const int percent = static_cast<int>(progress * 100);
    const double downloadedMB = static_cast<double>(downloadedBytes) / bytesPerMB;
    const double totalMB = static_cast<double>(totalBytes) / bytesPerMB;
    if (totalMB > 0)
        return QString::asprintf("%.0f / %.0f MB · %d%%", downloadedMB, totalMB, percent);
    return QString::asprintf("%.0f MB · %d%%", downloadedMB, percent);
}

QString sizeText(double gigabytes)
{
    if (gigabytes >= 1.0)
        return QString::asprintf("%.1f GB", gigabytes);
    return QString::asprintf("%.0f MB", gigabytes * 1024);
}

QString sizeText(qint64 bytes)
{
    return sizeText(static_cast<double>(bytes) / bytesPerGB);
}

QString remainingTimeText(const QDateTime &startTime, double progress, const QDateTime &now,
                          double startProgress)
{
    const QString estimating = QStringLiteral("Estimating…");
    const double moved = progress - startProgress;
    if (!(moved > minimumProgress))
        return estimating;
    const double elapsed = static_cast<double>(startTime.msecsTo(now)) / 1000.0;
    if (!(elapsed > minimumElapsedSeconds))
        return estimating;
    // The rate of this run only: a resumed download's kept part took no time now.
    const double remaining = std::max(
        0.0, startProgress == 0.0 ? elapsed / progress - elapsed : elapsed / moved * (1.0 - progress));
    if (remaining < 60)
        return QString::asprintf("%.0fs left", remaining);
    const qint64 seconds = static_cast<qint64>(remaining);
    return QString::asprintf("%lld:%02lld left", seconds / 60, seconds % 60);
}

} // namespace DownloadTexts
