#include "LocalHub.h"
#include "models/HFDownloadSession.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString previousContent = QStringLiteral("the copy downloaded last week");
const QString fileName = QStringLiteral("model.gguf");

// What one download reported.
struct Run
{
    std::optional<std::optional<QString>> outcome;  // set once the session has reported
    QList<double> fractions;
    qint64 lastExpected = -1;
};

bool hasGeneratedContent(const QByteArray &bytes)
{
    for (qsizetype i = 0; i < bytes.size(); ++i)
        if (static_cast<unsigned char>(bytes[i]) != i % 251)
            return false;
    return true;
}

QUrl fileURL(const LocalHub &hub, const QString &script)
{
    return QUrl(hub.baseURL(script).toString() + QStringLiteral("owner/repo/resolve/main/") + fileName);
}
} // namespace

class TestDownloadSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void outcomes_data();
    void outcomes();
    void cancelLeavesNothingBehind();

private:
    HFDownloadSession *startSession(Run &run, const QString &dest, const QUrl &url,
                                    DownloadTiming timing = {});
    LocalHub m_hub;
};

void TestDownloadSession::initTestCase()
{
    QVERIFY(m_hub.isListening());
}

HFDownloadSession *TestDownloadSession::startSession(Run &run, const QString &dest, const QUrl &url,
                                                     DownloadTiming timing)
{
    auto *session = new HFDownloadSession(
        dest,
        [&run](double fraction, qint64 written, qint64 expected) {
            QVERIFY(written <= expected);
            run.fractions.append(fraction);
            run.lastExpected = expected;
        },
        [&run](const std::optional<QString> &failure) {
            QVERIFY2(!run.outcome, "reported twice");
            run.outcome = failure;
        },
        timing);
    session->start(url);
    return session;
}

void TestDownloadSession::outcomes_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("requestTimeoutMs");
    QTest::addColumn<QString>("failure");      // pattern; empty = the download succeeds
    QTest::addColumn<qint64>("size");          // of the file in place afterwards
    QTest::addColumn<bool>("reportsProgress");

    QTest::newRow("complete") << "size=700000" << 60'000 << QString() << 700000ll << true;
    QTest::newRow("complete in small pieces") << "size=50000,rate=500000" << 60'000 << QString() << 50000ll << true;
    QTest::newRow("empty file") << "size=0" << 60'000 << QString() << 0ll << false;
    QTest::newRow("no length") << "size=700000,nolength" << 60'000 << QString() << 700000ll << false;
    QTest::newRow("more than announced") << "size=70000,extra=9000" << 60'000 << QString() << 70000ll << true;
    // The status is not examined: whatever body comes back is the file.
    QTest::newRow("not found") << "404" << 60'000 << QString() << 15ll << true;
    QTest::newRow("cut halfway") << "size=700000,cut" << 60'000 << "Connection closed|The network connection was lost\\." << -1ll << true;
    QTest::newRow("stalls") << "size=700000,stall=1000" << 300 << "^The request timed out\\.$" << -1ll << true;
}

void TestDownloadSession::outcomes()
{
    QFETCH(QString, script);
    QFETCH(int, requestTimeoutMs);
    QFETCH(QString, failure);
    QFETCH(qint64, size);
    QFETCH(bool, reportsProgress);

    QTemporaryDir dir;
    const QString dest = dir.filePath(fileName);
    QFile previous(dest);
    QVERIFY(previous.open(QIODevice::WriteOnly));
    previous.write(previousContent.toUtf8());
    previous.close();

    Run run;
    DownloadTiming timing;
    timing.requestTimeout = std::chrono::milliseconds(requestTimeoutMs);
    QPointer<HFDownloadSession> session = startSession(run, dest, fileURL(m_hub, script), timing);
    QTRY_VERIFY_WITH_TIMEOUT(run.outcome.has_value(), 20'000);
    QTRY_VERIFY(!session);  // gone once it has reported

    QFile result(dest);
    QVERIFY(result.open(QIODevice::ReadOnly));
    const QByteArray content = result.readAll();
    if (failure.isEmpty()) {
        QVERIFY2(!run.outcome->has_value(), qPrintable(run.outcome->value_or(QString())));
        QCOMPARE(content.size(), size);
        if (script != QLatin1String("404"))
            QVERIFY(hasGeneratedContent(content));
    } else {
        QVERIFY(run.outcome->has_value());
        QVERIFY2(run.outcome->value().contains(QRegularExpression(failure)),
                 qPrintable(run.outcome->value()));
        QCOMPARE(QString::fromUtf8(content), previousContent);
    }
    QCOMPARE(!run.fractions.isEmpty(), reportsProgress);
    for (qsizetype i = 1; i < run.fractions.size(); ++i)
        QVERIFY(run.fractions[i] > run.fractions[i - 1]);
    if (reportsProgress && failure.isEmpty())
        QCOMPARE(run.fractions.last(), 1.0);
    // Nothing but the destination is ever left in its folder.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{fileName});
}

void TestDownloadSession::cancelLeavesNothingBehind()
{
    QTemporaryDir dir;
    const QString dest = dir.filePath(fileName);
    Run run;
    HFDownloadSession *session = startSession(run, dest, fileURL(m_hub, QStringLiteral("size=10000000,rate=1000000")));
    QTRY_VERIFY(run.fractions.size() >= 2);
    // The partial body has no name in the folder, so even a crash leaves nothing to clean up.
    QVERIFY(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    session->cancel();
    // The outcome arrives later, from the event loop, and names the cancellation.
    QVERIFY(!run.outcome);
    QTRY_VERIFY(run.outcome.has_value());
    QVERIFY(run.outcome->has_value());
    QVERIFY2(run.outcome->value().contains(QStringLiteral("cancel"), Qt::CaseInsensitive),
             qPrintable(run.outcome->value()));
    QVERIFY(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

QTEST_GUILESS_MAIN(TestDownloadSession)
#include "tst_download_session.moc"
