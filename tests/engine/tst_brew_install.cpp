#include "EngineFixture.h"
#include "engine/ServerManager.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <qcorotask.h>

Q_DECLARE_METATYPE(BrewInstallState)

class TestBrewInstall : public QObject
{
    Q_OBJECT

private slots:
    // An install, then an uninstall, with Homebrew in different places and different output.
    void installThenUninstall_data()
    {
        QTest::addColumn<QString>("present");
        QTest::addColumn<QByteArray>("pieces"); // one write each: "1 text" on standard output, "2 text" on error
        QTest::addColumn<QByteArray>("bytes");  // then this many bytes of 64-byte log lines
        QTest::addColumn<QString>("output");
        QTest::addColumn<BrewInstallState>("installed");
        QTest::addColumn<bool>("serving");      // a model is served when the uninstall begins
        const BrewInstallState succeeded = BrewInstallState::succeeded();
        QTest::newRow("first wins, both channels")
            << "xx-" << QByteArray("1 ==> Downloading\\n\n2 Warning: caf\\xc3\\xa9 \\xe2\\x80\\x94 linked\\n\n1 ==> Pouring\\n")
            << QByteArray() << QStringLiteral("==> Downloading\nWarning: café — linked\n==> Pouring\n") << succeeded << false;
        QTest::newRow("Linux prefix last, character split across pieces is dropped")
            << "--x" << QByteArray("1 Pouring\\n\n1 caf\\xc3\n1 \\xa9 ready\\n\n1 done\\n") << QByteArray()
            << "Pouring\ndone\n" << succeeded << false;
        QTest::newRow("a megabyte of output, uninstall stops the engine first")
            << "x" << QByteArray() << QByteArray("1048576") << (QString(63, QLatin1Char('a')) + QLatin1Char('\n')).repeated(16384)
            << succeeded << true;
        QTest::newRow("none: uninstall changes nothing")
            << "---" << QByteArray() << QByteArray() << ""
            << BrewInstallState::failed(QStringLiteral("Homebrew not found — visit brew.sh to install it first.")) << false;
        QTest::newRow("cannot run") << "f--" << QByteArray() << QByteArray() << ""
                                    << BrewInstallState::failed(QStringLiteral("execve: Permission denied")) << false;
    }

    void installThenUninstall()
    {
        QFETCH(QString, present);
        QFETCH(QByteArray, pieces);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, output);
        QFETCH(BrewInstallState, installed);
        QFETCH(bool, serving);
        // Homebrew locations in our folder, one per letter: x the fake brew, f a plain file that
        // cannot run, - nothing. The fake install puts the engine at the one engine candidate.
        EngineFixture fixture;
        const QString log = fixture.path(QStringLiteral("brew.log")), engine = fixture.path(QStringLiteral("bin/llama-server"));
        fixture.environment.engineCandidates = {engine};
        QStringList &locations = fixture.environment.homebrewLocations;
        locations.clear();
        for (int i = 0; i < present.size(); ++i) {
            locations << fixture.path(QStringLiteral("prefix%1/brew").arg(i));
            QDir().mkpath(QFileInfo(locations.last()).absolutePath());
            if (present.at(i) == QLatin1Char('x'))
                QFile::link(EngineFixture::fakeBrew(), locations.last());
            else if (present.at(i) == QLatin1Char('f'))
                QFile(locations.last()).open(QIODevice::WriteOnly);
        }
        // The fake brew's script, for this test only.
        const QMap<QByteArray, QByteArray> variables{{"LOG", log.toUtf8()}, {"PIECES", pieces}, {"BYTES", bytes},
                                                     {"ENGINE", engine.toUtf8()}};
        for (auto it = variables.begin(); it != variables.end(); ++it)
            qputenv("MORLO_FAKE_BREW_" + it.key(), it.value());
        const auto clear = qScopeGuard([&] { for (const QByteArray &name : variables.keys()) qunsetenv("MORLO_FAKE_BREW_" + name); });
        QStringList events; // outlives the manager, which may still report as it goes
        ServerManager manager(fixture.environment, nullptr);
        const bool found = present != QLatin1String("---");
        QCOMPARE(manager.isHomebrewInstalled(), found);
        QSignalSpy engineChanged(&manager, &ServerManager::engineChanged);

        auto install = manager.installViaHomebrew();
        QCOMPARE(manager.brewInstallState(), found ? BrewInstallState::installing() : installed);
        QCoro::waitFor(std::move(install));
        QVERIFY2(manager.brewOutput() == output, qPrintable(manager.brewOutput().left(200)));
        QCOMPARE(manager.brewInstallState(), installed);
        // Views learn of the new engine from this signal alone.
        QCOMPARE(engineChanged.size(), installed == BrewInstallState::succeeded() ? 1 : 0);
        QCOMPARE(manager.isEngineInstalled(), installed == BrewInstallState::succeeded());

        if (serving) {
            // What the install put there is replaced by the fake engine, so a model can be served.
            QVERIFY(QFile::remove(engine) && QFile::copy(EngineFixture::fakeEngine(), engine));
            fixture.setEngineScript({{"loadMs", 0}});
            QCoro::waitFor(manager.startServer(QStringLiteral("/models/tiny.gguf"), QStringLiteral("Tiny")));
            QVERIFY(manager.isRunning());
            connect(&manager, &ServerManager::statusMessageChanged, &manager,
                    [&] { events << QStringLiteral("status ") + manager.statusMessage(); });
        }
        connect(&manager, &ServerManager::isUninstallingChanged, &manager,
                [&] { events << QStringLiteral("uninstalling %1").arg(manager.isUninstalling()); });
        QCoro::waitFor(manager.uninstallViaHomebrew());
        QCOMPARE(events, (serving ? QStringList{"status No model loaded"} : QStringList())
                             + (found ? QStringList{"uninstalling 1", "uninstalling 0"} : QStringList()));
        QCOMPARE(manager.brewInstallState(), found ? BrewInstallState::idle() : installed);
        QVERIFY(manager.brewOutput().isEmpty() && !manager.isEngineInstalled() && !QCoro::waitFor(manager.checkHealth()));
        QFile runs(log);
        runs.open(QIODevice::ReadOnly);
        const QString brew = locations.value(present.indexOf(QLatin1Char('x')));
        QCOMPARE(QString::fromUtf8(runs.readAll()),
                 brew.isEmpty() ? QString()
                                : brew + "\tinstall llama.cpp\t/usr/bin:/bin\n" + brew + "\tuninstall llama.cpp\t/usr/bin:/bin\n");
    }
};

QTEST_GUILESS_MAIN(TestBrewInstall)
#include "tst_brew_install.moc"
