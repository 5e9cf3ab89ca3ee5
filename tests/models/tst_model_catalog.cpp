#include "models/Catalog.h"
#include "models/DownloadTexts.h"

#include <QTest>

class TestModelCatalog : public QObject
{
    Q_OBJECT

private slots:
    // An address that does not parse gives no download rather than a request to somewhere else.
    void unusableAddresses()
    {
        const HFModel &first = catalog().first();
        QVERIFY(first.downloadURL(first.variants.first(), HFModel::defaultHubBaseURL()));
        QVERIFY(!first.downloadURL(first.variants.first(), QUrl(QStringLiteral("not an address/"))));
        HFModel broken = first;
        broken.repo = QStringLiteral("owner/na me%zz");
        QVERIFY(!broken.downloadURL(first.variants.first(), HFModel::defaultHubBaseURL()));
    }

    // One moment of a running download, as its row shows it.
    void downloadTexts_data()
    {
        QTest::addColumn<double>("progress");
        QTest::addColumn<qint64>("downloaded");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<int>("elapsedMs");
        QTest::addColumn<QString>("progressText");
        QTest::addColumn<QString>("remainingText");
        const qint64 mb = 1048576;
        QTest::newRow("no length yet") << 0.0 << 0ll << 0ll << 100'000 << "0 MB · 0%" << "Estimating…";
        QTest::newRow("two percent is too little") << 0.02 << 2 * mb << 100 * mb << 100'000 << "2 / 100 MB · 2%"
                                                   << "Estimating…";
        QTest::newRow("first half second") << 0.9 << 90 * mb << 100 * mb << 500 << "90 / 100 MB · 90%" << "Estimating…";
        QTest::newRow("rounds up to a minute") << 0.75 << 1536 * mb << 2048 * mb << 178'800 << "1536 / 2048 MB · 75%"
                                               << "60s left";
        QTest::newRow("truncated seconds") << 0.5 << 5 * mb << 10 * mb << 125'900 << "5 / 10 MB · 50%" << "2:05 left";
        QTest::newRow("no hours field") << 0.5 << 5 * mb << 10 * mb << 3'725'000 << "5 / 10 MB · 50%" << "62:05 left";
        QTest::newRow("just past the threshold") << 0.021 << 21 * mb << 1000 * mb << 21'000 << "21 / 1000 MB · 2%"
                                                 << "16:18 left";
        QTest::newRow("percent truncates") << 0.999 << 2047 * mb << 2048 * mb << 10'000 << "2047 / 2048 MB · 99%"
                                           << "0s left";
        QTest::newRow("overshoot is not negative") << 1.5 << 15 * mb << 10 * mb << 10'000 << "15 / 10 MB · 150%"
                                                   << "0s left";
    }

    void downloadTexts()
    {
        QFETCH(double, progress);
        QFETCH(qint64, downloaded);
        QFETCH(qint64, total);
        QFETCH(int, elapsedMs);
        QTEST(DownloadTexts::progressText(progress, downloaded, total), "progressText");
        const QDateTime start = QDateTime::currentDateTimeUtc();
        QTEST(DownloadTexts::remainingTimeText(start, progress, start.addMSecs(elapsedMs)), "remainingText");
    }
};

QTEST_GUILESS_MAIN(TestModelCatalog)
#include "tst_model_catalog.moc"
