// Ending the app from outside: a quit signal runs the normal quit (the reply just finished is on
// disk, the engine is stopped), and even SIGKILL, which the app cannot answer, leaves no engine.
#include "EngineFixture.h"
#include "conversation/ArchiveStore.h"
#include "conversation/DefaultsStore.h"
#include "platform/AppPaths.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <csignal>

class TestQuitSignals : public QObject
{
    Q_OBJECT

private slots:
    void endedBySignal_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::addColumn<QString>("model");
        QTest::addColumn<int>("signal");
        const QString fake = TestSupport::fakesDirectory() + QStringLiteral("/fake-llama-server");
        QTest::newRow("SIGTERM") << fake << QStringLiteral("/models/tiny.gguf") << SIGTERM;
        QTest::newRow("SIGINT") << fake << QStringLiteral("/models/tiny.gguf") << SIGINT;
        QTest::newRow("SIGHUP") << fake << QStringLiteral("/models/tiny.gguf") << SIGHUP;
        QTest::newRow("SIGKILL") << fake << QStringLiteral("/models/tiny.gguf") << SIGKILL;
        for (const TestSupport::RealEngine &real : TestSupport::realEngines()) {
            QTest::addRow("%s, SIGTERM", qPrintable(real.name)) << real.executable << TestSupport::realTinyModel() << SIGTERM;
            QTest::addRow("%s, SIGKILL", qPrintable(real.name)) << real.executable << TestSupport::realTinyModel() << SIGKILL;
        }
    }

    void endedBySignal()
    {
        QFETCH(QString, engine);
        QFETCH(QString, model);
        QFETCH(int, signal);
        TestSupport::resetUserData();
        DefaultsStore().setValue(DefaultsKeys::maxTokens, 4); // the tiny real model is slow
        QFile::remove(AppPaths::chatArchivePath());

        QProcess app;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (!environment.contains(QStringLiteral("DISPLAY")))
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        app.setProcessEnvironment(environment);
        app.setProcessChannelMode(QProcess::SeparateChannels);
        app.setStandardErrorFile(QProcess::nullDevice());
        app.start(QCoreApplication::applicationDirPath() + QStringLiteral("/app-under-signals"),
                  {engine, model, QString::number(freePort()), QStringLiteral("Hello")});
        const auto end = qScopeGuard([&] { app.kill(); app.waitForFinished(); });
        QByteArray output;
        connect(&app, &QProcess::readyReadStandardOutput, this, [&] { output += app.readAllStandardOutput(); });
        QTRY_VERIFY_WITH_TIMEOUT(output.contains("answered") || app.state() == QProcess::NotRunning, 60000);
        QVERIFY2(output.contains("answered"), output.constData());
        QFile record(QDir(AppPaths::appSupportDirectory()).filePath(QStringLiteral("engine.pid")));
        QVERIFY(record.open(QIODevice::ReadOnly));
        const qint64 enginePid = record.readLine().trimmed().toLongLong();
        QVERIFY(isAlive(enginePid));

        ::kill(pid_t(app.processId()), signal);
        QVERIFY(app.waitForFinished(20000));
        QTRY_VERIFY_WITH_TIMEOUT(!isAlive(enginePid), 10000);
        if (signal == SIGKILL)
            return;
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);
        // The reply finished a moment before the signal is stored.
        const auto sessions = ArchiveStore(AppPaths::chatArchivePath()).load().sessions;
        QVERIFY(sessions && sessions->size() == 1 && sessions->first().messages.size() == 2);
        const QList<Message> messages = sessions->first().messages;
        QCOMPARE(messages.last().role, Roles::assistant);
        QVERIFY2(!messages.last().content.startsWith(QStringLiteral("Error")), qPrintable(messages.last().content));
        if (engine.endsWith(QLatin1String("fake-llama-server")))
            QCOMPARE(messages.last().content, QStringLiteral("Hello from the fake engine."));
    }
};

QTEST_GUILESS_MAIN(TestQuitSignals)
#include "tst_quit_signals.moc"
