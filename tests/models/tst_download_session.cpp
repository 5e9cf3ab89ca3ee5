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
QByteArray hubContent(qint64 size, bool magic = true)
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

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
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

    // Runs one download of a model from the hub into `dest` and waits for its report.
    Outcome download(const QString &script, const QString &dest, const QByteArray &sha256, int requestTimeoutMs = 60'000)
    {
        Outcome outcome;
        bool reported = false;
        DownloadTiming timing;
        timing.requestTimeout = std::chrono::milliseconds(requestTimeoutMs);
        QPointer<HFDownloadSession> session = new HFDownloadSession(
            dest,
            [&](double fraction, qint64 written, qint64 expected) { outcome.fractions.append(written <= expected ? fraction : -1); },
            [&](const std::optional<QString> &failure) {
                QVERIFY2(!reported, "reported twice");
                reported = true;
                outcome.failure = failure;
            },
            timing);
        const auto stop = qScopeGuard([&] { delete session; });  // never calls back into a finished test
        connect(session, &HFDownloadSession::resumed, this, [&](qint64 kept) { outcome.resumedAt.append(kept); });
        session->setChecks(DownloadChecks{sha256, "GGUF", {}});
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
        QTest::addColumn<qint64>("size");     // of the hub's file, hashed as the expected SHA-256; -1 = none
        QTest::addColumn<QString>("failure"); // pattern; empty = the download succeeds
        QTest::addColumn<qint64>("kept");     // bytes of the part left for the next try
        QTest::addColumn<bool>("reportsProgress");
        QTest::addColumn<bool>("blocked");    // a folder stands where the part belongs
        QTest::newRow("complete") << "size=700000,gguf" << 700000ll << QString() << 0ll << true << false;
        QTest::newRow("no length") << "size=700000,nolength,gguf" << 700000ll << QString() << 0ll << false << false;
        QTest::newRow("more than announced") << "size=70000,extra=9000,gguf" << 70000ll << QString() << 0ll << true << false;
        // Refusals carry the status and the hub's own message; the body never becomes the file.
        QTest::newRow("not found") << "404" << -1ll << "^404 — Entry not found$" << 0ll << false << false;
        QTest::newRow("rate limited") << "status=429" << -1ll << "^429 — You have been rate-limited" << 0ll << false << false;
        QTest::newRow("empty file") << "size=0" << -1ll << "^The downloaded file is not a GGUF model$" << 0ll << false << false;
        QTest::newRow("not a model") << "size=70000" << 70000ll << "^The downloaded file is not a GGUF model$" << 0ll << true << false;
        QTest::newRow("damaged") << "size=70000,gguf" << 69999ll << "^The downloaded file is damaged$" << 0ll << true << false;
        // What arrived before a cut stays for the next try.
        QTest::newRow("cut halfway") << "size=700000,cut,gguf" << 700000ll
                                     << "Connection closed|The network connection was lost\\." << 350000ll << true << false;
        QTest::newRow("stalls") << "size=700000,stall=1000,gguf" << 700000ll << "^The request timed out\\.$" << 1000ll << true << false;
        QTest::newRow("nowhere to write") << "size=1000,gguf" << 1000ll << "." << 0ll << false << true;
    }

    void outcomes()
    {
        QFETCH(QString, script);
        QFETCH(qint64, size);
        QFETCH(QString, failure);
        QFETCH(qint64, kept);
        QFETCH(bool, reportsProgress);
        QFETCH(bool, blocked);
        // A copy from an earlier download is in place; only a complete, checked transfer replaces it.
        QTemporaryDir dir;
        const QString dest = dir.filePath(QStringLiteral("model.gguf"));
        const QString part = HFDownloadSession::partPath(dest);
        writeFile(dest, "the copy downloaded last week");
        QVERIFY(!blocked || QDir().mkpath(part));
        const bool magic = script.contains(QLatin1String("gguf"));
        const QByteArray sha256 = size < 0 ? QByteArray() : sha256Of(hubContent(size, magic));
        const Outcome outcome = download(script, dest, sha256, script.contains(QLatin1String("stall")) ? 300 : 60'000);

        QVERIFY2(failure.isEmpty() ? !outcome.failure : outcome.failure && outcome.failure->contains(QRegularExpression(failure)),
                 qPrintable(outcome.failure.value_or(QStringLiteral("no failure"))));
        QCOMPARE(readFile(dest), failure.isEmpty() ? hubContent(size, magic) : "the copy downloaded last week");
        QCOMPARE(!outcome.fractions.isEmpty(), reportsProgress);
        for (qsizetype i = 1; i < outcome.fractions.size(); ++i)
            QVERIFY(outcome.fractions[i] > outcome.fractions[i - 1]);
        if (reportsProgress && failure.isEmpty())
            QCOMPARE(outcome.fractions.last(), 1.0);
        // Nothing but the destination and a kept part is ever left in its folder.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                 QStringList({"model.gguf", "model.gguf.part"}).first(kept > 0 ? 2 : 1));
        QCOMPARE(QFileInfo(part).isFile() ? QFileInfo(part).size() : 0, kept);
    }

    // A part kept from an earlier try, then the download again.
    void resume_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QByteArray>("part");
        QTest::addColumn<qint64>("resentBytes"); // what the hub sends
        QTest::addColumn<QList<qint64>>("resumedAt");
        QTest::addColumn<bool>("succeeds");
        const QByteArray content = hubContent(2'000'000);
        QByteArray damaged = content.left(600'000);
        damaged[1000] = 'x';
        const QString plain = QStringLiteral("size=2000000,gguf");
        QTest::newRow("continues where it stopped") << plain << content.left(600'000) << 1'400'000ll << QList<qint64>{600'000} << true;
        QTest::newRow("server ignores ranges") << "size=2000000,gguf,norange" << content.left(600'000) << 2'000'000ll << QList<qint64>{} << true;
        // The hash covers the kept bytes too, so a part damaged on disk is caught.
        QTest::newRow("kept part damaged") << plain << damaged << 1'400'000ll << QList<qint64>{600'000} << false;
        QTest::newRow("part already complete") << plain << content << 0ll << QList<qint64>{2'000'000} << true;
        // The hub answers 416: the part is dropped and the file asked for from the start.
        QTest::newRow("part longer than the file") << plain << content + "tail" << 2'000'000ll << QList<qint64>{} << true;
    }

    void resume()
    {
        QFETCH(QString, script);
        QFETCH(QByteArray, part);
        QFETCH(qint64, resentBytes);
        QFETCH(bool, succeeds);
        QTemporaryDir dir;
        const QString dest = dir.filePath(QStringLiteral("model.gguf"));
        const QByteArray content = hubContent(2'000'000);
        writeFile(HFDownloadSession::partPath(dest), part);

        // Bytes are counted on the hub, by the address of the request.
        const QString path = QLatin1Char('/') + script + QLatin1Char('/');
        const qint64 before = m_hub.servedBytes(path);
        const Outcome outcome = download(script, dest, sha256Of(content));
        QCOMPARE(outcome.failure.value_or(QString()), succeeds ? QString() : QStringLiteral("The downloaded file is damaged"));
        QTRY_COMPARE(m_hub.servedBytes(path), before + resentBytes);
        QTEST(outcome.resumedAt, "resumedAt");
        // Progress counts the kept part: the first report is already past it.
        QVERIFY(!outcome.fractions.isEmpty() && (outcome.resumedAt.isEmpty() || outcome.fractions.first() > 0.3));
        QCOMPARE(readFile(dest), succeeds ? content : QByteArray());
        QVERIFY(!QFileInfo::exists(HFDownloadSession::partPath(dest)));
    }
};

QTEST_GUILESS_MAIN(TestDownloadSession)
#include "tst_download_session.moc"
