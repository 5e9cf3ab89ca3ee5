#include "EngineFixture.h"
#include "engine/ServerManager.h"

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>
#include <qcorotask.h>

Q_DECLARE_METATYPE(BrewInstallState)

namespace {

// Sets the fake brew's variables for one test and clears them afterwards.
struct BrewScript
{
    explicit BrewScript(const QMap<QByteArray, QByteArray> &variables)
    {
        for (auto it = variables.begin(); it != variables.end(); ++it)
            qputenv("MORLO_FAKE_BREW_" + it.key(), it.value());
    }
    ~BrewScript()
    {
        for (const char *name : {"LOG", "PIECES", "BYTES", "ENGINE", "EXIT"})
            qunsetenv(QByteArray("MORLO_FAKE_BREW_") + name);
    }
};

// Homebrew locations in the fixture's folder, one per letter: x the fake brew, f a plain file
// that cannot run, - nothing. The engine candidate is where the fake install puts the engine.
void placeBrew(EngineFixture &fixture, const QString &present)
{
    fixture.environment.homebrewLocations.clear();
    fixture.environment.engineCandidates = {fixture.path(QStringLiteral("bin/llama-server"))};
    for (int i = 0; i < present.size(); ++i) {
        const QString location = fixture.path(QStringLiteral("prefix%1/brew").arg(i));
        fixture.environment.homebrewLocations << location;
        QDir().mkpath(QFileInfo(location).absolutePath());
        if (present.at(i) == QLatin1Char('x'))
            QFile::link(EngineFixture::fakeBrew(), location);
        else if (present.at(i) == QLatin1Char('f'))
            QFile(location).open(QIODevice::WriteOnly);
    }
}

} // namespace

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
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        QTest::addColumn<BrewInstallState>("installed");
        QTest::addColumn<BrewInstallState>("uninstalled");
        const BrewInstallState succeeded = BrewInstallState::succeeded(), idle = BrewInstallState::idle();
        QTest::newRow("first wins, both channels")
            << "xx-" << QByteArray("1 ==> Downloading\\n\n2 Warning: caf\\xc3\\xa9 \\xe2\\x80\\x94 linked\\n\n1 ==> Pouring\\n")
            << QByteArray() << 0 << QStringLiteral("==> Downloading\nWarning: café — linked\n==> Pouring\n") << succeeded << idle;
        QTest::newRow("only the Intel prefix, failure keeps the output")
            << "-x-" << QByteArray("2 Error: no bottle\\n") << QByteArray() << 3 << "Error: no bottle\n"
            << BrewInstallState::failed(QStringLiteral("brew install failed (exit 3)")) << idle;
        QTest::newRow("Linux prefix last, character split across pieces is dropped")
            << "--x" << QByteArray("1 Pouring\\n\n1 caf\\xc3\n1 \\xa9 ready\\n\n1 done\\n") << QByteArray() << 0
            << "Pouring\ndone\n" << succeeded << idle;
        QTest::newRow("a megabyte of output") << "x" << QByteArray() << QByteArray("1048576") << 0
                                              << (QString(63, QLatin1Char('a')) + QLatin1Char('\n')).repeated(16384) << succeeded << idle;
        const BrewInstallState notFound =
            BrewInstallState::failed(QStringLiteral("Homebrew not found — visit brew.sh to install it first."));
        QTest::newRow("none: uninstall changes nothing") << "---" << QByteArray() << QByteArray() << 0 << "" << notFound << notFound;
        QTest::newRow("cannot run") << "f--" << QByteArray() << QByteArray() << 0 << ""
                                    << BrewInstallState::failed(QStringLiteral("execve: Permission denied")) << idle;
    }

    void installThenUninstall()
    {
        QFETCH(QString, present);
        QFETCH(QByteArray, pieces);
        QFETCH(QByteArray, bytes);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QFETCH(BrewInstallState, installed);
        QFETCH(BrewInstallState, uninstalled);
        EngineFixture fixture;
        placeBrew(fixture, present);
        const QString log = fixture.path(QStringLiteral("brew.log"));
        const BrewScript script({{"LOG", log.toUtf8()}, {"PIECES", pieces}, {"BYTES", bytes}, {"EXIT", QByteArray::number(exitCode)},
                                 {"ENGINE", exitCode ? QByteArray() : fixture.environment.engineCandidates.first().toUtf8()}});
        ServerManager manager(fixture.environment, nullptr);
        QCOMPARE(manager.isHomebrewInstalled(), present != QLatin1String("---"));
        QSignalSpy engineChanged(&manager, &ServerManager::engineChanged);

        auto install = manager.installViaHomebrew();
        QCOMPARE(manager.brewInstallState(), present == QLatin1String("---") ? installed : BrewInstallState::installing());
        QCoro::waitFor(std::move(install));
        QVERIFY2(manager.brewOutput() == output, qPrintable(manager.brewOutput().left(200)));
        QCOMPARE(manager.brewInstallState(), installed);
        // Views learn of the new engine from this signal alone.
        QCOMPARE(engineChanged.size(), installed == BrewInstallState::succeeded() ? 1 : 0);
        QCOMPARE(manager.isEngineInstalled(), installed == BrewInstallState::succeeded());

        QCoro::waitFor(manager.uninstallViaHomebrew());
        QCOMPARE(manager.brewInstallState(), uninstalled);
        QVERIFY(manager.brewOutput().isEmpty() && !manager.isUninstalling() && !manager.isEngineInstalled());
        QFile runs(log);
        runs.open(QIODevice::ReadOnly);
        const QString brew = fixture.environment.homebrewLocations.value(present.indexOf(QLatin1Char('x')));
        QCOMPARE(QString::fromUtf8(runs.readAll()),
                 brew.isEmpty() ? QString()
                                : brew + "\tinstall llama.cpp\t/usr/bin:/bin\n" + brew + "\tuninstall llama.cpp\t/usr/bin:/bin\n");
    }

    void uninstallStopsTheEngine_data()
    {
        QTest::addColumn<int>("exitCode");
        QTest::newRow("uninstall succeeds") << 0;
        QTest::newRow("uninstall fails") << 5;
    }

    void uninstallStopsTheEngine()
    {
        QFETCH(int, exitCode);
        EngineFixture fixture;
        placeBrew(fixture, QStringLiteral("x"));
        const QString engine = fixture.environment.engineCandidates.first();
        fixture.setEngineScript({{"loadMs", 0}});
        const BrewScript script({{"EXIT", QByteArray::number(exitCode)}, {"ENGINE", engine.toUtf8()}, {"PIECES", "1 leftover\\n"}});
        ServerManager manager(fixture.environment, nullptr);
        QCoro::waitFor(manager.installViaHomebrew());
        QCOMPARE(manager.brewOutput(), QStringLiteral("leftover\n"));
        // What the install put there is replaced by the fake engine, so a model can be served.
        QVERIFY(QFile::remove(engine) && QFile::copy(EngineFixture::fakeEngine(), engine));
        QCoro::waitFor(manager.startServer(QStringLiteral("/models/tiny.gguf"), QStringLiteral("Tiny")));
        QVERIFY(manager.isRunning());

        QStringList events;
        connect(&manager, &ServerManager::statusMessageChanged, &manager,
                [&] { events << QStringLiteral("status ") + manager.statusMessage(); });
        connect(&manager, &ServerManager::isUninstallingChanged, &manager,
                [&] { events << QStringLiteral("uninstalling %1").arg(manager.isUninstalling()); });
        QCoro::waitFor(manager.uninstallViaHomebrew());
        QCOMPARE(events, (QStringList{"status No model loaded", "uninstalling 1", "uninstalling 0"}));
        QVERIFY(!QCoro::waitFor(manager.checkHealth()));
        QCOMPARE(manager.brewInstallState(), BrewInstallState::idle());
        QCOMPARE(manager.brewOutput(), QString());
        QVERIFY(!manager.isEngineInstalled());
    }
};

QTEST_GUILESS_MAIN(TestBrewInstall)
#include "tst_brew_install.moc"
