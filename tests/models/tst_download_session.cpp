#include "LocalHub.h"
#include "models/HFDownloadSession.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

namespace {
// The hub's bodies: "GGUF" first when asked for, then byte i is i % 251.
QByteArray hubContent(qint64 size, bool magic)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = magic && i < 4 ? "GGUF"[i] : static_cast<char>(i % 251);
    return bytes;
}

QByteArray sha256Of(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

// Cancelling and quitting mid-transfer are covered through the model library's own test.
class TestDownloadSession : public QObject
{
    Q_OBJECT

    LocalHub m_hub;

    struct Outcome
    {
        std::optional<QString> failure;
        QList<double> fractions;
        QList<qint64> resumedAt;
    };

    // Runs one download from the hub into `dest` and waits for its report.
    Outcome download(const QString &script, const QString &dest, const DownloadChecks &checks,
                     int requestTimeoutMs = 60'000)
    {
        Outcome outcome;
        bool reported = false;
        DownloadTiming timing;
        timing.requestTimeout = std::chrono::milliseconds(requestTimeoutMs);
        QPointer<HFDownloadSession> session = new HFDownloadSession(
            dest,
            [&](double fraction, qint64 written, qint64 expected) {
                QVERIFY(written <= expected);
                outcome.fractions.append(fraction);
            },
            [&](const std::optional<QString> &failure) {
                QVERIFY2(!reported, "reported twice");
                reported = true;
                outcome.failure = failure;
            },
            timing);
        const auto stop = qScopeGuard([&] { delete session; });  // never calls back into a finished test
        connect(session, &HFDownloadSession::resumed, this, [&](qint64 kept) { outcome.resumedAt.append(kept); });
        session->setChecks(checks);
        session->start(QUrl(m_hub.baseURL(script).toString() + QStringLiteral("owner/repo/resolve/main/model.gguf")));
        [&] { QTRY_VERIFY_WITH_TIMEOUT(reported, 20'000); }();
        [&] { QTRY_VERIFY(!session); }();  // gone once it has reported
        return outcome;
    }

private slots:
    void initTestCase() { QVERIFY(m_hub.isListening()); }

    void outcomes_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("requestTimeoutMs");
        QTest::addColumn<QByteArray>("magic");
        QTest::addColumn<bool>("rightHash");  // false: a hash that does not match is expected
        QTest::addColumn<QString>("failure");  // pattern; empty = the download succeeds
        QTest::addColumn<qint64>("size");      // of the file in place afterwards
        QTest::addColumn<qint64>("kept");      // bytes of the part left for the next try
        QTest::addColumn<bool>("reportsProgress");
        const QByteArray gguf = "GGUF";
        QTest::newRow("complete") << "size=700000,gguf" << 60'000 << gguf << true << QString() << 700000ll << 0ll << true;
        QTest::newRow("complete in small pieces") << "size=50000,rate=500000" << 60'000 << QByteArray() << true << QString() << 50000ll << 0ll << true;
        QTest::newRow("empty file") << "size=0" << 60'000 << QByteArray() << true << QString() << 0ll << 0ll << false;
        QTest::newRow("no length") << "size=700000,nolength,gguf" << 60'000 << gguf << true << QString() << 700000ll << 0ll << false;
        QTest::newRow("more than announced") << "size=70000,extra=9000" << 60'000 << QByteArray() << true << QString() << 70000ll << 0ll << true;
        // Refusals carry the status and the hub's own message; the body never becomes the file.
        QTest::newRow("not found") << "404" << 60'000 << gguf << true << "^404 — Entry not found$" << -1ll << 0ll << false;
        QTest::newRow("needs a token") << "status=401" << 60'000 << gguf << true << "^401 — Invalid username or password\\.$" << -1ll << 0ll << false;
        QTest::newRow("gated") << "status=403" << 60'000 << gguf << true << "^403 — Access to model .* is restricted" << -1ll << 0ll << false;
        QTest::newRow("rate limited") << "status=429" << 60'000 << gguf << true << "^429 — You have been rate-limited" << -1ll << 0ll << false;
        QTest::newRow("not a model") << "size=70000" << 60'000 << gguf << true << "^The downloaded file is not a GGUF model$" << -1ll << 0ll << true;
        QTest::newRow("damaged") << "size=70000,gguf" << 60'000 << gguf << false << "^The downloaded file is damaged$" << -1ll << 0ll << true;
        // What arrived before a cut stays for the next try.
        QTest::newRow("cut halfway") << "size=700000,cut,gguf" << 60'000 << gguf << true
                                     << "Connection closed|The network connection was lost\\." << -1ll << 350000ll << true;
        QTest::newRow("stalls") << "size=700000,stall=1000" << 300 << QByteArray() << true << "^The request timed out\\.$" << -1ll << 1000ll << true;
    }

    void outcomes()
    {
        QFETCH(QString, script);
        QFETCH(int, requestTimeoutMs);
        QFETCH(QByteArray, magic);
        QFETCH(bool, rightHash);
        QFETCH(QString, failure);
        QFETCH(qint64, size);
        QFETCH(qint64, kept);
        QFETCH(bool, reportsProgress);
        // A copy from an earlier download is in place; only a complete, checked transfer replaces it.
        QTemporaryDir dir;
        const QString dest = dir.filePath(QStringLiteral("model.gguf"));
        writeFile(dest, "the copy downloaded last week");

        DownloadChecks checks;
        checks.magic = magic;
        if (size >= 0 || !rightHash)
            checks.sha256 = rightHash ? sha256Of(hubContent(size, script.contains(QLatin1String("gguf")))) : sha256Of("other");
        const Outcome outcome = download(script, dest, checks, requestTimeoutMs);

        QCOMPARE(outcome.failure.has_value(), !failure.isEmpty());
        const QString part = HFDownloadSession::partPath(dest);
        if (failure.isEmpty()) {
            QCOMPARE(readFile(dest), hubContent(size, script.contains(QLatin1String("gguf"))));
        } else {
            QVERIFY2(outcome.failure->contains(QRegularExpression(failure)), qPrintable(*outcome.failure));
            QCOMPARE(readFile(dest), QByteArray("the copy downloaded last week"));
        }
        QCOMPARE(QFileInfo(part).size(), kept);
        QCOMPARE(!outcome.fractions.isEmpty(), reportsProgress);
        for (qsizetype i = 1; i < outcome.fractions.size(); ++i)
            QVERIFY(outcome.fractions[i] > outcome.fractions[i - 1]);
        if (reportsProgress && failure.isEmpty())
            QCOMPARE(outcome.fractions.last(), 1.0);
        // Nothing but the destination and a kept part is ever left in its folder.
        QStringList expected{QStringLiteral("model.gguf")};
        if (kept > 0)
            expected.append(QStringLiteral("model.gguf.part"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name), expected);
    }

    void resume_data()
    {
        QTest::addColumn<QString>("secondScript");
        QTest::addColumn<bool>("partIsRight");   // the kept part holds the file's real bytes
        QTest::addColumn<qint64>("resentBytes"); // what the hub sends the second time
        QTest::addColumn<bool>("succeeds");
        constexpr qint64 size = 2'000'000;
        QTest::newRow("continues where it stopped") << "size=2000000,gguf" << true << size - 600'000 << true;
        QTest::newRow("server ignores ranges") << "size=2000000,gguf,norange" << true << size << true;
        // The hash covers the kept bytes too, so a part damaged on disk is caught.
        QTest::newRow("kept part damaged") << "size=2000000,gguf" << false << size - 600'000 << false;
    }

    // A download cut at 600 000 bytes, then started again.
    void resume()
    {
        QFETCH(QString, secondScript);
        QFETCH(bool, partIsRight);
        QFETCH(qint64, resentBytes);
        QFETCH(bool, succeeds);
        QTemporaryDir dir;
        const QString dest = dir.filePath(QStringLiteral("model.gguf"));
        const QByteArray content = hubContent(2'000'000, true);
        DownloadChecks checks{sha256Of(content), "GGUF", {}};

        QVERIFY(download(QStringLiteral("size=2000000,gguf,cutat=600000"), dest, checks).failure);
        QCOMPARE(QFileInfo(HFDownloadSession::partPath(dest)).size(), 600'000);
        if (!partIsRight) {
            QFile part(HFDownloadSession::partPath(dest));
            QVERIFY(part.open(QIODevice::ReadWrite));
            part.seek(1000);
            part.write("x");
        }

        // Bytes are counted on the hub, by the address of the second request.
        const QString secondPath = QLatin1Char('/') + secondScript + QLatin1Char('/');
        const qint64 before = m_hub.servedBytes(secondPath);
        const Outcome second = download(secondScript, dest, checks);
        QCOMPARE(!second.failure, succeeds);
        QTRY_COMPARE(m_hub.servedBytes(secondPath), before + resentBytes);
        QCOMPARE(second.resumedAt, resentBytes < content.size() ? QList<qint64>{600'000} : QList<qint64>{});
        // Progress counts the kept part: the first report is already past it.
        QVERIFY(!second.fractions.isEmpty());
        if (resentBytes < content.size())
            QVERIFY(second.fractions.first() > 0.3);
        if (succeeds) {
            QCOMPARE(readFile(dest), content);
        } else {
            QCOMPARE(*second.failure, QStringLiteral("The downloaded file is damaged"));
            QVERIFY(!QFileInfo::exists(dest));
        }
        QVERIFY(!QFileInfo::exists(HFDownloadSession::partPath(dest)));
    }
};

QTEST_GUILESS_MAIN(TestDownloadSession)
#include "tst_download_session.moc"
