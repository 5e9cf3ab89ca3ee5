// Downloads 1 GiB from the local hub over loopback, checked against its SHA-256 as it arrives (as
// a file from a hub listing is), without one (as a catalogue file is), then with `curl -o` from
// the same server, three times in turn (the machine is shared, so the best time of each counts),
// and prints: the download rates as a share of curl's, how much resident memory grew while
// downloading, and the longest gap seen by a 1 ms timer on the main thread. Then a download cut
// at 50 % is resumed: the hub counts the bytes it sends.

#include "models/HFDownloadSession.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace {
constexpr qint64 fileBytes = 1024ll * 1024 * 1024;
constexpr int rounds = 3;
// Reading /proc costs time on the thread being measured; every 20 ms is enough to catch growth.
constexpr int ticksPerMemorySample = 20;

qint64 residentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong() * 1024;
    return 0;
}

double seconds(const QElapsedTimer &timer)
{
    return static_cast<double>(timer.nsecsElapsed()) / 1e9;
}

struct OwnRun
{
    double seconds = 0;
    qint64 rssGrowth = 0;
    double longestGapMs = 0;
    double longestGapAtFraction = 0;  // how far the transfer was when it happened
    bool ok = false;
};

OwnRun downloadWithSession(const QUrl &url, const QString &dest, const DownloadChecks &checks)
{
    OwnRun run;
    const qint64 rssBefore = residentBytes();
    qint64 rssPeak = rssBefore;

    QElapsedTimer gapClock;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    int ticks = 0;
    double fraction = 0;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const double gapMs = static_cast<double>(gapClock.nsecsElapsed()) / 1e6;
        if (gapMs > run.longestGapMs) {
            run.longestGapMs = gapMs;
            run.longestGapAtFraction = fraction;
        }
        gapClock.restart();
        if (++ticks % ticksPerMemorySample == 0)
            rssPeak = std::max(rssPeak, residentBytes());
    });

    QElapsedTimer clock;
    clock.start();
    gapClock.start();
    ticker.start();
    auto *session = new HFDownloadSession(
        dest, [&fraction](double done, qint64, qint64) { fraction = done; },
        [&](const std::optional<QString> &failure) {
            run.seconds = seconds(clock);
            run.ok = !failure;
            if (failure)
                std::fprintf(stderr, "download failed: %s\n", qPrintable(*failure));
            QCoreApplication::quit();
        });
    session->setChecks(checks);
    session->start(url);
    QCoreApplication::exec();
    ticker.stop();
    run.rssGrowth = rssPeak - rssBefore;
    return run;
}

// The same 1 ms timer with nothing downloading: how long the machine itself keeps the main thread
// waiting, the floor under the gaps measured while downloading.
double idleGapMs()
{
    QElapsedTimer gapClock;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    double longest = 0;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longest = std::max(longest, static_cast<double>(gapClock.nsecsElapsed()) / 1e6);
        gapClock.restart();
    });
    QTimer::singleShot(2000, [] { QCoreApplication::quit(); });
    gapClock.start();
    ticker.start();
    QCoreApplication::exec();
    return longest;
}

std::optional<double> downloadWithCurl(const QUrl &url, const QString &dest)
{
    QElapsedTimer clock;
    clock.start();
    const int code = QProcess::execute(QStringLiteral("curl"),
                                       {QStringLiteral("-s"), QStringLiteral("-o"), dest, url.toString()});
    if (code != 0 || QFileInfo(dest).size() != fileBytes)
        return std::nullopt;
    return seconds(clock);
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    QProcess hub;
    hub.start(QStringLiteral(MORLO_FAKES_DIR "/fake-hub"), {});
    if (!hub.waitForReadyRead(10'000)) {
        std::fprintf(stderr, "the local hub did not start\n");
        return 1;
    }
    const QByteArray port = hub.readLine().trimmed().mid(5);
    const QString address = QStringLiteral("http://127.0.0.1:%1/size=%2,gguf%3/owner/repo/resolve/main/model.gguf")
                                .arg(QString::fromLatin1(port))
                                .arg(fileBytes);
    const QUrl url(address.arg(QString()));

    QTemporaryDir dir;
    const QString ownDest = dir.filePath(QStringLiteral("session.gguf"));
    const QString curlDest = dir.filePath(QStringLiteral("curl.gguf"));

    // The file's SHA-256, as the hub's listing would give it.
    if (!downloadWithCurl(url, curlDest))
        return 1;
    DownloadChecks checks;
    checks.magic = "GGUF";
    {
        QFile file(curlDest);
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
            return 1;
        checks.sha256 = hash.result().toHex();
    }
    QFile::remove(curlDest);
    const double idleGap = idleGapMs();

    // The best time, the largest growth and the longest gap of all rounds.
    auto addRound = [](OwnRun &kept, const OwnRun &run) {
        kept.seconds = std::min(kept.seconds, run.seconds);
        kept.rssGrowth = std::max(kept.rssGrowth, run.rssGrowth);
        if (run.longestGapMs > kept.longestGapMs) {
            kept.longestGapMs = run.longestGapMs;
            kept.longestGapAtFraction = run.longestGapAtFraction;
        }
    };
    const DownloadChecks unhashed{{}, checks.magic, {}};
    OwnRun own{1e9, 0, 0, 0, true};
    OwnRun plain{1e9, 0, 0, 0, true};
    double curl = 1e9;
    for (int round = 0; round < rounds; ++round) {
        const OwnRun run = downloadWithSession(url, ownDest, checks);
        QFile::remove(ownDest);
        const OwnRun plainRun = downloadWithSession(url, ownDest, unhashed);
        QFile::remove(ownDest);
        const std::optional<double> curlRun = downloadWithCurl(url, curlDest);
        QFile::remove(curlDest);
        if (!run.ok || !plainRun.ok || !curlRun) {
            std::fprintf(stderr, "a download did not complete\n");
            return 1;
        }
        addRound(own, run);
        addRound(plain, plainRun);
        curl = std::min(curl, *curlRun);
    }
    const double idleGapAfter = idleGapMs();

    // Cut at 50 %, then resumed: the kept half is hashed on a worker thread, the rest as it comes.
    const QUrl cutURL(address.arg(QStringLiteral(",cutat=%1").arg(fileBytes / 2)));
    const OwnRun cut = downloadWithSession(cutURL, ownDest, checks);
    const OwnRun resumed = downloadWithSession(url, ownDest, checks);
    QFile::remove(ownDest);
    hub.kill();
    hub.waitForFinished();
    // "served <path> <bytes>" per answer; the resumed one is the last for the plain address.
    qint64 resumedBytes = -1;
    for (const QByteArray &line : hub.readAllStandardOutput().split('\n'))
        if (line.startsWith("served ") && line.split(' ').value(1) == url.path().toUtf8())
            resumedBytes = line.split(' ').value(2).toLongLong();
    if (cut.ok || !resumed.ok) {
        std::fprintf(stderr, "the cut download did not resume\n");
        return 1;
    }

    const double mib = static_cast<double>(fileBytes) / (1024 * 1024);
    std::printf("download 1 GiB over loopback, best of %d\n", rounds);
    std::printf("  session, SHA-256 checked: %.2f s (%.0f MiB/s)\n", own.seconds, mib / own.seconds);
    std::printf("  session, no SHA-256 given: %.2f s (%.0f MiB/s)\n", plain.seconds, mib / plain.seconds);
    std::printf("  curl -o: %.2f s (%.0f MiB/s)\n", curl, mib / curl);
    std::printf("  rate ratio session/curl: %.2f hashed, %.2f unhashed (goal >= 0.80)\n", curl / own.seconds,
                curl / plain.seconds);
    std::printf("  resident memory growth (largest): %.1f MB (goal < 20 MB)\n",
                static_cast<double>(std::max(own.rssGrowth, plain.rssGrowth)) / (1024 * 1024));
    std::printf("  longest main-thread timer gap, hashing included (all rounds): %.1f ms at %.0f%% (goal < 16 ms)\n",
                own.longestGapMs, own.longestGapAtFraction * 100);
    std::printf("  longest main-thread timer gap, no hashing (all rounds): %.1f ms at %.0f%%\n",
                plain.longestGapMs, plain.longestGapAtFraction * 100);
    std::printf("  longest gap of the same timer with nothing downloading: %.1f ms before, %.1f ms after\n",
                idleGap, idleGapAfter);
    std::printf("resume of a 1 GiB download cut at 50 %%\n");
    std::printf("  bytes the hub sent for the rest: %lld of %lld (%.1f %%; goal 50 %%)\n",
                static_cast<long long>(resumedBytes), static_cast<long long>(fileBytes),
                100.0 * static_cast<double>(resumedBytes) / static_cast<double>(fileBytes));
    std::printf("  resumed in %.2f s; longest main-thread timer gap, kept half hashed first: %.1f ms (goal < 16 ms)\n",
                resumed.seconds, resumed.longestGapMs);
    return 0;
}
