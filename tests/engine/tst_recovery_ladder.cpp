// The early-exit report and the substitute GPU library; the retries themselves are followed
// through whole starts in tst_server_manager.
#include "EngineFixture.h"
#include "engine/RecoveryLadder.h"
#include "engine/ServerManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

class TestRecoveryLadder : public QObject
{
    Q_OBJECT

    // Built once with the real compiler.
    QTemporaryDir m_stubParent;
    const QString m_stubDirectory = QDir(m_stubParent.path()).filePath(QStringLiteral("Morlo AI/metal-stub"));
    const QString m_stubLibrary = QDir(m_stubDirectory).filePath(QStringLiteral("libggml-metal.0.dylib"));

private slots:
    void initTestCase()
    {
        EngineFixture fixture;
        fixture.environment.metalStubDirectory = m_stubDirectory;
        QCOMPARE(ServerManager(fixture.environment, nullptr).buildMetalStub(), std::optional(m_stubDirectory));
        QFile source(QDir(m_stubDirectory).filePath(QStringLiteral("metal_stub.c")));
        QVERIFY(source.open(QIODevice::ReadOnly));
        QCOMPARE(source.readAll(), QByteArray("void ggml_backend_metal_reg(void) {}"));
        QVERIFY(QFileInfo(m_stubLibrary).size() > 0);
    }

    void earlyExitReport_data()
    {
        QTest::addColumn<QByteArray>("errorOutput");
        QTest::addColumn<bool>("bySignal");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("expected");
        QTest::newRow("trimmed text, inner lines kept") << QByteArray("\n  failed to load\n\nmodel \r\n") << false << 134
                                                        << "failed to load\n\nmodel\n[exit 134]";
        QTest::newRow("only white space") << QByteArray(" \n\t\n") << true << 11 << "[crash signal 11]";
        QTest::newRow("not UTF-8 counts as empty") << QByteArray("bad \xff\xfe bytes") << true << 7 << "[crash signal 7]";
    }

    void earlyExitReport()
    {
        QFETCH(QByteArray, errorOutput);
        QFETCH(bool, bySignal);
        QFETCH(int, status);
        QFETCH(QString, expected);
        QCOMPARE(RecoveryLadder::earlyExitReport(errorOutput, RecoveryLadder::Termination{bySignal, status}), expected);
    }

    void metalStub_data()
    {
        QTest::addColumn<QString>("directory"); // "built": the one built above; "fresh"; "none"; "blocked"
        QTest::addColumn<QString>("compiler");
        QTest::addColumn<bool>("built");
        QTest::newRow("already built needs no compiler") << "built" << "/nonexistent/cc" << true;
        QTest::newRow("compiler missing") << "fresh" << "/nonexistent/cc" << false;
        QTest::newRow("compile error") << "fresh" << "/bin/false" << false;
        QTest::newRow("no data folder") << "none" << "/usr/bin/cc" << false;
        QTest::newRow("folder cannot be created") << "blocked" << "/usr/bin/cc" << false;
    }

    void metalStub()
    {
        QFETCH(QString, directory);
        QFETCH(QString, compiler);
        QFETCH(bool, built);
        EngineFixture fixture;
        QString &stub = fixture.environment.metalStubDirectory;
        fixture.environment.compilerPath = compiler;
        QVERIFY(QFile(fixture.path(QStringLiteral("file"))).open(QIODevice::WriteOnly));
        stub = directory == QLatin1String("built") ? m_stubDirectory
            : directory == QLatin1String("none")   ? QString()
            : directory == QLatin1String("blocked") ? fixture.path(QStringLiteral("file/metal-stub"))
                                                   : stub;
        const QDateTime before = QFileInfo(m_stubLibrary).lastModified();
        QCOMPARE(ServerManager(fixture.environment, nullptr).buildMetalStub(), built ? std::optional(stub) : std::nullopt);
        QCOMPARE(QFileInfo(m_stubLibrary).lastModified(), before);
    }
};

QTEST_GUILESS_MAIN(TestRecoveryLadder)
#include "tst_recovery_ladder.moc"
