#include "models/Catalog.h"
#include "models/DownloadTexts.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QTest>

class TestModelCatalog : public QObject
{
    Q_OBJECT

private slots:
    void catalogEntries()
    {
        const QList<QStringList> expected{
            {"tessoran/Llama-3.2-3B-Instruct-GGUF", "Llama 3.2 3B Instruct",
             "Fast and lightweight. Best for quick tasks on any computer.", "3B", "2", "Llama-3.2-3B-Instruct-Q4_K_M.gguf"},
            {"tessoran/Meta-Llama-3.1-8B-Instruct-GGUF", "Llama 3.1 8B Instruct",
             "Best overall quality. Recommended for most users.", "8B", "4.9", "Meta-Llama-3.1-8B-Instruct-Q4_K_M.gguf"},
            {"tessoran/Qwen2.5-3B-Instruct-GGUF", "Qwen 2.5 3B Instruct",
             "Strong reasoning and instruction following. Compact size, any computer.", "3B", "1.9",
             "Qwen2.5-3B-Instruct-Q4_K_M.gguf"}};
        QList<QStringList> entries;
        QSet<QUuid> ids;
        for (const HFModel &model : catalog()) {
            QCOMPARE(model.variants.size(), 1);
            const ModelVariant &variant = model.variants.first();
            entries << QStringList{model.repo, model.displayName, model.description, model.parameterCount,
                                   QString::number(variant.sizeGB), variant.filename};
            QCOMPARE(variant.quantization, QStringLiteral("Q4_K_M"));
            // Every file starts absent and idle.
            QVERIFY(!variant.isDownloaded && !variant.isDownloading && !variant.downloadStartTime);
            QVERIFY(variant.downloadProgress == 0.0 && variant.downloadedBytes == 0 && variant.totalBytes == 0);
            ids << model.id << variant.id;
        }
        QCOMPARE(entries, expected);
        // Built once, with identities of its own: the views find a file again by the ones they were shown.
        QCOMPARE(&catalog(), &catalog());
        QCOMPARE(ids.size(), 6);
        QVERIFY(!ids.contains(QUuid()));

        // Where a file is downloaded from; an address that does not parse gives none.
        const HFModel &first = catalog().first();
        const std::optional<QUrl> url = first.downloadURL(first.variants.first(), HFModel::defaultHubBaseURL());
        QVERIFY(url);
        QCOMPARE(url->scheme(), QStringLiteral("https"));
        QCOMPARE(url->path(),
                 QStringLiteral("/tessoran/Llama-3.2-3B-Instruct-GGUF/resolve/main/Llama-3.2-3B-Instruct-Q4_K_M.gguf"));
        QVERIFY(!first.downloadURL(first.variants.first(), QUrl(QStringLiteral("not an address/"))));
        HFModel broken = first;
        broken.repo = QStringLiteral("owner/na me%zz");
        QVERIFY(!broken.downloadURL(first.variants.first(), HFModel::defaultHubBaseURL()));
    }

    void labels_data()
    {
        QTest::addColumn<double>("sizeGB");
        QTest::addColumn<QString>("size");
        QTest::addColumn<QString>("quantization");
        QTest::addColumn<QString>("quality");
        QTest::newRow("1 GB, Q2_K") << 1.0 << "1.0 GB" << "Q2_K" << "Smallest";
        QTest::newRow("catalogue size, Q4_K_M") << 4.9 << "4.9 GB" << "Q4_K_M" << "Recommended";
        QTest::newRow("just under 1 GB, Q5_K_M") << 0.999 << "1023 MB" << "Q5_K_M" << "High Quality";
        QTest::newRow("half, Q8_0") << 0.5 << "512 MB" << "Q8_0" << "Best Quality";
        QTest::newRow("quarter, other case") << 0.25 << "256 MB" << "q4_k_m" << "q4_k_m";
        QTest::newRow("rounds to one place, unknown") << 4.96 << "5.0 GB" << "IQ3_XS" << "IQ3_XS";
    }

    void labels()
    {
        ModelVariant variant;
        QFETCH(double, sizeGB);
        QFETCH(QString, quantization);
        variant.sizeGB = sizeGB;
        variant.quantization = quantization;
        QTEST(variant.sizeLabel(), "size");
        QTEST(variant.qualityLabel(), "quality");
    }

    void jsonRoundTrip()
    {
        HFModel model = catalog().at(1);
        ModelVariant &variant = model.variants[0];
        variant.isDownloaded = true;
        variant.downloadProgress = 0.5;
        variant.downloadedBytes = 123;
        variant.totalBytes = 456;
        variant.downloadStartTime = QDateTime::currentDateTimeUtc();
        const QJsonObject json = model.toJson();
        QCOMPARE(json.value("id").toString(), model.id.toString(QUuid::WithoutBraces).toUpper());
        QVERIFY(!json.value("variants").toArray().first().toObject().contains("downloadedBytes"));

        // Through text, as a file would carry it; the running download's bytes and start are not kept.
        const auto decoded = HFModel::fromJson(QJsonDocument::fromJson(QJsonDocument(json).toJson()).object());
        QVERIFY(decoded);
        variant.downloadedBytes = 0;
        variant.totalBytes = 0;
        variant.downloadStartTime.reset();
        QCOMPARE(*decoded, model);
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
        QTest::newRow("megabytes round down") << 0.0 << mb / 2 - 1 << 0ll << 9'000 << "0 MB · 0%" << "Estimating…";
        QTest::newRow("megabytes round up") << 0.0 << mb / 2 + 1 << 0ll << 9'000 << "1 MB · 0%" << "Estimating…";
        QTest::newRow("two percent is too little") << 0.02 << 2 * mb << 100 * mb << 100'000 << "2 / 100 MB · 2%"
                                                   << "Estimating…";
        QTest::newRow("first half second") << 0.9 << 90 * mb << 100 * mb << 500 << "90 / 100 MB · 90%" << "Estimating…";
        QTest::newRow("rounds up to a minute") << 0.75 << 1536 * mb << 2048 * mb << 178'800 << "1536 / 2048 MB · 75%"
                                               << "60s left";
        QTest::newRow("one minute") << 0.25 << 512 * mb << 2048 * mb << 20'000 << "512 / 2048 MB · 25%" << "1:00 left";
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
