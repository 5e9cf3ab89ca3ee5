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
    void catalogEntries_data();
    void catalogEntries();
    void catalogIsBuiltOnceWithDistinctIdentities();
    void sizeLabel_data();
    void sizeLabel();
    void qualityLabel_data();
    void qualityLabel();
    void jsonRoundTripAndRequiredKeys_data();
    void jsonRoundTripAndRequiredKeys();
    void downloadAddress();
    void progressText_data();
    void progressText();
    void remainingTimeText_data();
    void remainingTimeText();
};

void TestModelCatalog::catalogEntries_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("repo");
    QTest::addColumn<QString>("displayName");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("parameterCount");
    QTest::addColumn<double>("sizeGB");
    QTest::addColumn<QString>("filename");
    QTest::addColumn<QString>("sizeLabel");

    QTest::newRow("llama 3.2") << 0 << "tessoran/Llama-3.2-3B-Instruct-GGUF" << "Llama 3.2 3B Instruct"
        << "Fast and lightweight. Best for quick tasks on any Mac." << "3B" << 2.0
        << "Llama-3.2-3B-Instruct-Q4_K_M.gguf" << "2.0 GB";
    QTest::newRow("llama 3.1") << 1 << "tessoran/Meta-Llama-3.1-8B-Instruct-GGUF" << "Llama 3.1 8B Instruct"
        << "Best overall quality. Recommended for most users." << "8B" << 4.9
        << "Meta-Llama-3.1-8B-Instruct-Q4_K_M.gguf" << "4.9 GB";
    QTest::newRow("qwen 2.5") << 2 << "tessoran/Qwen2.5-3B-Instruct-GGUF" << "Qwen 2.5 3B Instruct"
        << "Strong reasoning and instruction following. Compact size, any Mac." << "3B" << 1.9
        << "Qwen2.5-3B-Instruct-Q4_K_M.gguf" << "1.9 GB";
}

void TestModelCatalog::catalogEntries()
{
    QFETCH(int, index);
    QCOMPARE(catalog().size(), 3);
    const HFModel &model = catalog().at(index);
    QTEST(model.repo, "repo");
    QTEST(model.displayName, "displayName");
    QTEST(model.description, "description");
    QTEST(model.parameterCount, "parameterCount");
    QCOMPARE(model.variants.size(), 1);
    const ModelVariant &variant = model.variants.first();
    QCOMPARE(variant.quantization, QStringLiteral("Q4_K_M"));
    QTEST(variant.sizeGB, "sizeGB");
    QTEST(variant.filename, "filename");
    QTEST(variant.sizeLabel(), "sizeLabel");
    QCOMPARE(variant.qualityLabel(), QStringLiteral("Recommended"));
    // Every file starts absent and idle.
    QVERIFY(!variant.isDownloaded && !variant.isDownloading && !variant.downloadStartTime);
    QCOMPARE(variant.downloadProgress, 0.0);
    QCOMPARE(variant.downloadedBytes, 0);
    QCOMPARE(variant.totalBytes, 0);
    QVERIFY(model.downloadedVariants().isEmpty());
}

void TestModelCatalog::catalogIsBuiltOnceWithDistinctIdentities()
{
    QSet<QUuid> ids;
    for (const HFModel &model : catalog()) {
        ids.insert(model.id);
        ids.insert(model.variants.first().id);
    }
    QCOMPARE(ids.size(), 6);
    QVERIFY(!ids.contains(QUuid()));
    QCOMPARE(catalog().first().id, catalog().first().id);
    QCOMPARE(&catalog(), &catalog());
}

void TestModelCatalog::sizeLabel_data()
{
    QTest::addColumn<double>("sizeGB");
    QTest::addColumn<QString>("label");
    QTest::newRow("one gigabyte") << 1.0 << "1.0 GB";
    QTest::newRow("just under") << 0.999 << "1023 MB";
    QTest::newRow("half") << 0.5 << "512 MB";
    QTest::newRow("quarter") << 0.25 << "256 MB";
    QTest::newRow("rounds to one place") << 4.96 << "5.0 GB";
    QTest::newRow("nothing") << 0.0 << "0 MB";
}

void TestModelCatalog::sizeLabel()
{
    QFETCH(double, sizeGB);
    ModelVariant variant;
    variant.sizeGB = sizeGB;
    QTEST(variant.sizeLabel(), "label");
}

void TestModelCatalog::qualityLabel_data()
{
    QTest::addColumn<QString>("quantization");
    QTest::addColumn<QString>("label");
    QTest::newRow("Q2_K") << "Q2_K" << "Smallest";
    QTest::newRow("Q4_K_M") << "Q4_K_M" << "Recommended";
    QTest::newRow("Q5_K_M") << "Q5_K_M" << "High Quality";
    QTest::newRow("Q8_0") << "Q8_0" << "Best Quality";
    QTest::newRow("other case is not the same") << "q4_k_m" << "q4_k_m";
    QTest::newRow("unknown shown as itself") << "IQ3_XS" << "IQ3_XS";
}

void TestModelCatalog::qualityLabel()
{
    ModelVariant variant;
    QFETCH(QString, quantization);
    variant.quantization = quantization;
    QTEST(variant.qualityLabel(), "label");
}

void TestModelCatalog::jsonRoundTripAndRequiredKeys_data()
{
    QTest::addColumn<QString>("removedKey");
    QTest::addColumn<bool>("fromVariant");
    QTest::newRow("complete") << QString() << false;
    for (const char *key : {"id", "repo", "displayName", "description", "parameterCount", "variants"})
        QTest::newRow(key) << QString::fromLatin1(key) << false;
    for (const char *key : {"id", "quantization", "sizeGB", "filename", "isDownloaded",
                            "downloadProgress", "isDownloading"})
        QTest::newRow(qPrintable(QStringLiteral("variant ") + QLatin1String(key)))
            << QString::fromLatin1(key) << true;
}

void TestModelCatalog::jsonRoundTripAndRequiredKeys()
{
    QFETCH(QString, removedKey);
    QFETCH(bool, fromVariant);
    HFModel model = catalog().at(1);
    model.variants[0].isDownloaded = true;
    model.variants[0].downloadProgress = 0.5;
    model.variants[0].downloadedBytes = 123;
    model.variants[0].totalBytes = 456;
    model.variants[0].downloadStartTime = QDateTime::currentDateTimeUtc();

    QJsonObject json = model.toJson();
    QVERIFY(!json.value("variants").toArray().first().toObject().contains("downloadedBytes"));
    if (fromVariant) {
        QJsonArray variants = json.value("variants").toArray();
        QJsonObject variant = variants.first().toObject();
        variant.remove(removedKey);
        variants[0] = variant;
        json["variants"] = variants;
    } else if (!removedKey.isEmpty()) {
        json.remove(removedKey);
    }
    // Through text, as a file would carry it.
    const QJsonObject reread = QJsonDocument::fromJson(QJsonDocument(json).toJson()).object();
    const std::optional<HFModel> decoded = HFModel::fromJson(reread);
    if (!removedKey.isEmpty()) {
        QVERIFY(!decoded);
        return;
    }
    QVERIFY(decoded);
    HFModel expected = model;
    expected.variants[0].downloadedBytes = 0;
    expected.variants[0].totalBytes = 0;
    expected.variants[0].downloadStartTime.reset();
    QCOMPARE(*decoded, expected);
    QCOMPARE(json.value("id").toString(), model.id.toString(QUuid::WithoutBraces).toUpper());
}

void TestModelCatalog::downloadAddress()
{
    const HFModel &model = catalog().first();
    const std::optional<QUrl> url = model.downloadURL(model.variants.first(), HFModel::defaultHubBaseURL());
    QVERIFY(url);
    QCOMPARE(url->scheme(), QStringLiteral("https"));
    QCOMPARE(url->path(), QStringLiteral("/tessoran/Llama-3.2-3B-Instruct-GGUF/resolve/main/"
                                         "Llama-3.2-3B-Instruct-Q4_K_M.gguf"));
    QVERIFY(!model.downloadURL(model.variants.first(), QUrl(QStringLiteral("not an address/"))));
    HFModel broken = model;
    broken.repo = QStringLiteral("owner/na me%zz");
    QVERIFY(!broken.downloadURL(model.variants.first(), HFModel::defaultHubBaseURL()));
}

void TestModelCatalog::progressText_data()
{
    QTest::addColumn<double>("progress");
    QTest::addColumn<qint64>("downloaded");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QString>("text");
    const qint64 mb = 1048576;
    QTest::newRow("three quarters") << 0.75 << 1536 * mb << 2048 * mb << "1536 / 2048 MB · 75%";
    QTest::newRow("a quarter") << 0.25 << 512 * mb << 2048 * mb << "512 / 2048 MB · 25%";
    QTest::newRow("percent truncates") << 0.999 << 2047 * mb << 2048 * mb << "2047 / 2048 MB · 99%";
    QTest::newRow("no length yet") << 0.0 << 0ll << 0ll << "0 MB · 0%";
    QTest::newRow("megabytes round down") << 0.0 << mb / 2 - 1 << 0ll << "0 MB · 0%";
    QTest::newRow("megabytes round up") << 0.0 << mb / 2 + 1 << 0ll << "1 MB · 0%";
    QTest::newRow("complete") << 1.0 << 10 * mb << 10 * mb << "10 / 10 MB · 100%";
}

void TestModelCatalog::progressText()
{
    QFETCH(double, progress);
    QFETCH(qint64, downloaded);
    QFETCH(qint64, total);
    QTEST(DownloadTexts::progressText(progress, downloaded, total), "text");
}

void TestModelCatalog::remainingTimeText_data()
{
    QTest::addColumn<double>("progress");
    QTest::addColumn<int>("elapsedMs");
    QTest::addColumn<QString>("text");
    QTest::newRow("too little progress") << 0.02 << 100'000 << "Estimating…";
    QTest::newRow("first half second") << 0.9 << 500 << "Estimating…";
    QTest::newRow("no progress") << 0.0 << 10'000 << "Estimating…";
    QTest::newRow("rounds up to a minute") << 0.5 << 59'600 << "60s left";
    QTest::newRow("one minute") << 0.5 << 60'000 << "1:00 left";
    QTest::newRow("truncated seconds") << 0.5 << 125'900 << "2:05 left";
    QTest::newRow("no hours field") << 0.5 << 3'725'000 << "62:05 left";
    QTest::newRow("just past the threshold") << 0.021 << 21'000 << "16:18 left";
    QTest::newRow("done") << 1.0 << 10'000 << "0s left";
    QTest::newRow("overshoot is not negative") << 1.5 << 10'000 << "0s left";
}

void TestModelCatalog::remainingTimeText()
{
    QFETCH(double, progress);
    QFETCH(int, elapsedMs);
    const QDateTime start = QDateTime::currentDateTimeUtc();
    QTEST(DownloadTexts::remainingTimeText(start, progress, start.addMSecs(elapsedMs)), "text");
}

QTEST_GUILESS_MAIN(TestModelCatalog)
#include "tst_model_catalog.moc"
