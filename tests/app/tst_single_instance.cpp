#include "SingleInstance.h"

#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {
// Every file and folder under `root` with its size and change time.
QStringList snapshot(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        entries << QStringLiteral("%1 %2 %3").arg(info.filePath()).arg(info.size())
                       .arg(info.lastModified().toMSecsSinceEpoch());
    }
    entries.sort();
    return entries;
}
} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    // A socket left by a crashed run is taken over; a folder written otherwise is the same
    // folder, and another data folder runs on its own.
    void oneRunPerDataFolder()
    {
        QTemporaryDir folder, other;
        QFile stale(QDir(QDir::tempPath()).filePath(SingleInstance::serverName(folder.path())));
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.close();
        SingleInstance first(folder.path());
        QSignalSpy raised(&first, &SingleInstance::activationRequested);
        QVERIFY(first.claim());
        QVERIFY(!SingleInstance(folder.path() + QStringLiteral("/.")).claim());
        QTRY_COMPARE(raised.count(), 1);
        QVERIFY(SingleInstance(other.path()).claim());
        QCOMPARE(raised.count(), 1);
    }

    // The real app started a second time: it ends at once, leaves every file as it was, and the
    // running one is asked to come to the front.
    void secondStartOfTheAppHandsOver()
    {
        SingleInstance running(SingleInstance::standardDataFolder());
        QSignalSpy raised(&running, &SingleInstance::activationRequested);
        QVERIFY(running.claim());
        const QString home = QDir::homePath();
        const QStringList before = snapshot(home);

        QProcess app;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        app.setProcessEnvironment(env);
        app.start(QStringLiteral(MORLO_APP_BINARY), {});
        QVERIFY(app.waitForFinished(15'000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);
        QTRY_COMPARE(raised.count(), 1);
        QCOMPARE(snapshot(home), before);
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_single_instance.moc"
