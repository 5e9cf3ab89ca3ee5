#include "LocalHub.h"
#include "models/HFDownloadSession.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

// Cancelling and quitting mid-transfer are covered through the model library's own test.
class TestDownloadSession : public QObject
{
    Q_OBJECT

    LocalHub m_hub;

private slots:
    void initTestCase() { QVERIFY(m_hub.isListening()); }

    void outcomes_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("requestTimeoutMs");
        QTest::addColumn<QString>("failure");  // pattern; empty = the download succeeds
        QTest::addColumn<qint64>("size");      // of the file in place afterwards
        QTest::addColumn<bool>("reportsProgress");
        QTest::newRow("complete") << "size=700000" << 60'000 << QString() << 700000ll << true;
        QTest::newRow("complete in small pieces") << "size=50000,rate=500000" << 60'000 << QString() << 50000ll << true;
        QTest::newRow("empty file") << "size=0" << 60'000 << QString() << 0ll << false;
        QTest::newRow("no length") << "size=700000,nolength" << 60'000 << QString() << 700000ll << false;
        QTest::newRow("more than announced") << "size=70000,extra=9000" << 60'000 << QString() << 70000ll << true;
        // The status is not examined: whatever body comes back is the file.
        QTest::newRow("not found") << "404" << 60'000 << QString() << 15ll << true;
        QTest::newRow("cut halfway") << "size=700000,cut" << 60'000
                                     << "Connection closed|The network connection was lost\\." << -1ll << true;
        QTest::newRow("stalls") << "size=700000,stall=1000" << 300 << "^The request timed out\\.$" << -1ll << true;
    }

    void outcomes()
    {
        QFETCH(QString, script);
        QFETCH(int, requestTimeoutMs);
        QFETCH(QString, failure);
        QFETCH(bool, reportsProgress);
        // A copy from an earlier download is in place; only a complete transfer replaces it.
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("model.gguf")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("the copy downloaded last week");
        file.close();

        std::optional<std::optional<QString>> outcome;  // set once the session has reported
        QList<double> fractions;
        DownloadTiming timing;
        timing.requestTimeout = std::chrono::milliseconds(requestTimeoutMs);
        QPointer<HFDownloadSession> session = new HFDownloadSession(
            file.fileName(),
            [&](double fraction, qint64 written, qint64 expected) {
                QVERIFY(written <= expected);
                fractions.append(fraction);
            },
            [&](const std::optional<QString> &failure) {
                QVERIFY2(!outcome, "reported twice");
                outcome = failure;
            },
            timing);
        const auto stop = qScopeGuard([&] { delete session; });  // never calls back into a finished test
        session->start(QUrl(m_hub.baseURL(script).toString() + QStringLiteral("owner/repo/resolve/main/model.gguf")));
        QTRY_VERIFY_WITH_TIMEOUT(outcome.has_value(), 20'000);
        QTRY_VERIFY(!session);  // gone once it has reported

        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QCOMPARE(outcome->has_value(), !failure.isEmpty());
        if (failure.isEmpty()) {
            QTEST(qint64(content.size()), "size");
            // The hub's bodies repeat the bytes 0, 1, …, 250.
            qsizetype same = 0;
            while (same < content.size() && static_cast<unsigned char>(content[same]) == same % 251)
                ++same;
            QVERIFY(script == QLatin1String("404") || same == content.size());
        } else {
            QVERIFY2(outcome->value().contains(QRegularExpression(failure)), qPrintable(outcome->value()));
            QCOMPARE(content, QByteArray("the copy downloaded last week"));
        }
        QCOMPARE(!fractions.isEmpty(), reportsProgress);
        for (qsizetype i = 1; i < fractions.size(); ++i)
            QVERIFY(fractions[i] > fractions[i - 1]);
        if (reportsProgress && failure.isEmpty())
            QCOMPARE(fractions.last(), 1.0);
        // Nothing but the destination is ever left in its folder.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("model.gguf")});
    }
};

QTEST_GUILESS_MAIN(TestDownloadSession)
#include "tst_download_session.moc"
