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
    void location_data();
    void location();
    void install_data();
    void install();
    void launchRefused();
    void uninstallStopsTheEngine_data();
    void uninstallStopsTheEngine();
};

void TestBrewInstall::location_data()
{
    QTest::addColumn<QString>("present");
    QTest::addColumn<int>("expected");
    QTest::newRow("first wins") << "xx-" << 0;
    QTest::newRow("only the Intel prefix") << "-x-" << 1;
    QTest::newRow("Linux prefix last") << "--x" << 2;
    QTest::newRow("none") << "---" << -1;
}

void TestBrewInstall::location()
{
    QFETCH(QString, present);
    QFETCH(int, expected);
    EngineFixture fixture;
    placeBrew(fixture, present);
    const QString log = fixture.path(QStringLiteral("brew.log"));
    const BrewScript script({{"LOG", log.toUtf8()}});
    ServerManager manager(fixture.environment, nullptr);
    QCOMPARE(manager.isHomebrewInstalled(), expected >= 0);

    QCoro::waitFor(manager.installViaHomebrew());
    if (expected < 0)
        QCOMPARE(manager.brewInstallState(),
                 BrewInstallState::failed(QStringLiteral("Homebrew not found — visit brew.sh to install it first.")));
    QCoro::waitFor(manager.uninstallViaHomebrew());
    QFile runs(log);
    runs.open(QIODevice::ReadOnly);
    const QString brew = fixture.environment.homebrewLocations.value(expected);
    QCOMPARE(QString::fromUtf8(runs.readAll()),
             expected < 0 ? QString()
                          : brew + "\tinstall llama.cpp\t/usr/bin:/bin\n" + brew + "\tuninstall llama.cpp\t/usr/bin:/bin\n");
}

void TestBrewInstall::install_data()
{
    QTest::addColumn<QByteArray>("pieces"); // one write each: "1 text" on standard output, "2 text" on error
    QTest::addColumn<QByteArray>("bytes");  // then this many bytes of 64-byte log lines
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expectedOutput");
    QTest::addColumn<BrewInstallState>("expectedState");
    QTest::newRow("success, both channels")
        << QByteArray("1 ==> Downloading llama.cpp\\n\n2 Warning: caf\\xc3\\xa9 \\xe2\\x80\\x94 linked\\n\n1 ==> Pouring\\n")
        << QByteArray() << 0 << QStringLiteral("==> Downloading llama.cpp\nWarning: café — linked\n==> Pouring\n")
        << BrewInstallState::succeeded();
    QTest::newRow("failure keeps the output") << QByteArray("2 Error: no bottle\\n") << QByteArray() << 3
                                              << "Error: no bottle\n"
                                              << BrewInstallState::failed(QStringLiteral("brew install failed (exit 3)"));
    QTest::newRow("character split across pieces is dropped")
        << QByteArray("1 Pouring\\n\n1 caf\\xc3\n1 \\xa9 ready\\n\n1 done\\n") << QByteArray() << 0 << "Pouring\ndone\n"
        << BrewInstallState::succeeded();
    QTest::newRow("a megabyte of output") << QByteArray() << QByteArray("1048576") << 0
                                          << (QString(63, QLatin1Char('a')) + QLatin1Char('\n')).repeated(16384)
                                          << BrewInstallState::succeeded();
}

void TestBrewInstall::install()
{
    QFETCH(QByteArray, pieces);
    QFETCH(QByteArray, bytes);
    QFETCH(int, exitCode);
    QFETCH(QString, expectedOutput);
    QFETCH(BrewInstallState, expectedState);
    EngineFixture fixture;
    placeBrew(fixture, QStringLiteral("x"));
    const BrewScript script({{"PIECES", pieces},
                             {"BYTES", bytes},
                             {"EXIT", QByteArray::number(exitCode)},
                             {"ENGINE", exitCode == 0 ? fixture.environment.engineCandidates.first().toUtf8() : QByteArray()}});
    ServerManager manager(fixture.environment, nullptr);
    QVERIFY(!manager.isEngineInstalled());
    QSignalSpy engineChanged(&manager, &ServerManager::engineChanged);

    auto install = manager.installViaHomebrew();
    QCOMPARE(manager.brewInstallState(), BrewInstallState::installing());
    QCoro::waitFor(std::move(install));
    QVERIFY2(manager.brewOutput() == expectedOutput, qPrintable(manager.brewOutput().left(200)));
    QCOMPARE(manager.brewInstallState(), expectedState);
    // Views learn of the new engine from this signal alone.
    QCOMPARE(manager.isEngineInstalled(), exitCode == 0);
    QCOMPARE(engineChanged.size(), exitCode == 0 ? 1 : 0);
}

void TestBrewInstall::launchRefused()
{
    EngineFixture fixture;
    placeBrew(fixture, QStringLiteral("f"));
    ServerManager manager(fixture.environment, nullptr);
    QVERIFY(manager.isHomebrewInstalled());
    QCoro::waitFor(manager.installViaHomebrew());
    const BrewInstallState state = manager.brewInstallState();
    QCOMPARE(state.kind, BrewInstallState::Kind::failed);
    QVERIFY2(!state.message.isEmpty() && !state.message.startsWith(QStringLiteral("brew install failed")),
             qPrintable(state.message));

    QCoro::waitFor(manager.uninstallViaHomebrew());
    QCOMPARE(manager.brewInstallState(), BrewInstallState::idle());
    QVERIFY(!manager.isUninstalling());
}

void TestBrewInstall::uninstallStopsTheEngine_data()
{
    QTest::addColumn<int>("exitCode");
    QTest::newRow("uninstall succeeds") << 0;
    QTest::newRow("uninstall fails") << 5;
}

void TestBrewInstall::uninstallStopsTheEngine()
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
    QVERIFY(!manager.isRunning());
    QVERIFY(!QCoro::waitFor(manager.checkHealth()));
    QCOMPARE(manager.brewInstallState(), BrewInstallState::idle());
    QCOMPARE(manager.brewOutput(), QString());
    QVERIFY(!manager.isEngineInstalled());
}

QTEST_GUILESS_MAIN(TestBrewInstall)
#include "tst_brew_install.moc"
