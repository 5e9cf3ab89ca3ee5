#include "EngineFixture.h"
#include "engine/ServerManager.h"

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>
#include <qcorotask.h>

Q_DECLARE_METATYPE(BrewInstallState)

namespace {

const QString notFound = QStringLiteral("Homebrew not found — visit brew.sh to install it first.");

// Sets the fake brew's variables for one test and clears them afterwards.
class BrewScript
{
public:
    explicit BrewScript(const QMap<QByteArray, QByteArray> &variables)
        : m_names(variables.keys())
    {
        for (auto it = variables.begin(); it != variables.end(); ++it)
            qputenv(QByteArray("MORLO_FAKE_BREW_") + it.key(), it.value());
    }
    ~BrewScript()
    {
        for (const QByteArray &name : m_names)
            qunsetenv(QByteArray("MORLO_FAKE_BREW_") + name);
    }

private:
    QList<QByteArray> m_names;
};

// Three Homebrew locations in the fixture's folder, with the fake brew at those marked 'x'.
void placeBrew(EngineFixture &fixture, const QString &present)
{
    fixture.environment.homebrewLocations.clear();
    for (int i = 0; i < present.size(); ++i) {
        const QString location = fixture.path(QStringLiteral("prefix%1/brew").arg(i));
        fixture.environment.homebrewLocations << location;
        if (present.at(i) == QLatin1Char('x')) {
            QDir().mkpath(QFileInfo(location).absolutePath());
            QFile::link(EngineFixture::fakeBrew(), location);
        }
    }
}

QStringList brewRuns(const EngineFixture &fixture)
{
    QFile log(fixture.path(QStringLiteral("brew.log")));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
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
    void megabyteOfOutput();
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
    const BrewScript script({{"LOG", fixture.path(QStringLiteral("brew.log")).toUtf8()}});
    ServerManager manager(fixture.environment, nullptr);
    QCOMPARE(manager.isHomebrewInstalled(), expected >= 0);

    QCoro::waitFor(manager.installViaHomebrew());
    QCoro::waitFor(manager.uninstallViaHomebrew());
    const QStringList runs = brewRuns(fixture);
    if (expected < 0) {
        QCOMPARE(manager.brewInstallState(), BrewInstallState::failed(notFound));
        QVERIFY(runs.isEmpty());
        return;
    }
    const QString brew = fixture.environment.homebrewLocations.at(expected);
    QCOMPARE(runs, (QStringList{brew + "\tinstall llama.cpp\t/usr/bin:/bin", brew + "\tuninstall llama.cpp\t/usr/bin:/bin"}));
    QCOMPARE(manager.brewInstallState(), BrewInstallState::idle());
}

void TestBrewInstall::install_data()
{
    QTest::addColumn<QByteArray>("pieces");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expectedOutput");
    QTest::addColumn<BrewInstallState>("expectedState");
    QTest::newRow("success, both channels")
        << QByteArray("1 ==> Downloading llama.cpp\\n\n2 Warning: already linked\\n\n1 ==> Pouring\\n")
        << 0 << "==> Downloading llama.cpp\nWarning: already linked\n==> Pouring\n" << BrewInstallState::succeeded();
    QTest::newRow("failure keeps the output")
        << QByteArray("2 Error: no bottle\\n") << 3 << "Error: no bottle\n"
        << BrewInstallState::failed(QStringLiteral("brew install failed (exit 3)"));
    QTest::newRow("character split across pieces is dropped")
        << QByteArray("1 Pouring\\n\n1 caf\\xc3\n1 \\xa9 ready\\n\n1 done\\n") << 0 << "Pouring\ndone\n"
        << BrewInstallState::succeeded();
    QTest::newRow("whole characters are kept")
        << QByteArray("1 caf\\xc3\\xa9 \\xe2\\x80\\x94 ok\\n") << 0 << QStringLiteral("café — ok\n")
        << BrewInstallState::succeeded();
}

void TestBrewInstall::install()
{
    QFETCH(QByteArray, pieces);
    QFETCH(int, exitCode);
    QFETCH(QString, expectedOutput);
    QFETCH(BrewInstallState, expectedState);
    EngineFixture fixture;
    placeBrew(fixture, QStringLiteral("x"));
    const QString engine = fixture.path(QStringLiteral("bin/llama-server"));
    fixture.environment.engineCandidates = {engine};
    const BrewScript script({{"PIECES", pieces},
                             {"EXIT", QByteArray::number(exitCode)},
                             {"ENGINE", exitCode == 0 ? engine.toUtf8() : QByteArray()}});
    ServerManager manager(fixture.environment, nullptr);
    QVERIFY(!manager.isEngineInstalled());
    QSignalSpy engineChanged(&manager, &ServerManager::engineChanged);

    auto install = manager.installViaHomebrew();
    QCOMPARE(manager.brewInstallState(), BrewInstallState::installing());
    QCoro::waitFor(std::move(install));

    QCOMPARE(manager.brewOutput(), expectedOutput);
    QCOMPARE(manager.brewInstallState(), expectedState);
    QCOMPARE(manager.isEngineInstalled(), exitCode == 0);
    QCOMPARE(engineChanged.size(), exitCode == 0 ? 1 : 0);
}

void TestBrewInstall::megabyteOfOutput()
{
    EngineFixture fixture;
    placeBrew(fixture, QStringLiteral("x"));
    const BrewScript script({{"BYTES", "1048576"}});
    ServerManager manager(fixture.environment, nullptr);
    QCoro::waitFor(manager.installViaHomebrew());
    QCOMPARE(manager.brewInstallState(), BrewInstallState::succeeded());
    QCOMPARE(manager.brewOutput().size(), 1048576);
    QCOMPARE(manager.brewOutput().count(QLatin1Char('\n')), 1048576 / 64);
}

void TestBrewInstall::launchRefused()
{
    EngineFixture fixture;
    placeBrew(fixture, QStringLiteral("-"));
    const QString brew = fixture.environment.homebrewLocations.first();
    QDir().mkpath(QFileInfo(brew).absolutePath());
    QFile file(brew); // exists, so Homebrew counts as present, but cannot run
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    ServerManager manager(fixture.environment, nullptr);
    QVERIFY(manager.isHomebrewInstalled());
    QCoro::waitFor(manager.installViaHomebrew());
    QCOMPARE(manager.brewInstallState().kind, BrewInstallState::Kind::failed);
    QVERIFY(!manager.brewInstallState().message.isEmpty());
    QVERIFY(!manager.brewInstallState().message.startsWith(QStringLiteral("brew install failed")));

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
    const QString engine = fixture.path(QStringLiteral("bin/llama-server"));
    fixture.environment.engineCandidates = {engine};
    fixture.setEngineScript({{"loadMs", 0}});
    const BrewScript script({{"EXIT", QByteArray::number(exitCode)}, {"ENGINE", engine.toUtf8()}, {"PIECES", "1 leftover\\n"}});
    ServerManager manager(fixture.environment, nullptr);
    QCoro::waitFor(manager.installViaHomebrew());
    QCOMPARE(manager.brewOutput(), QStringLiteral("leftover\n"));
    // What the install put there is replaced by the fake engine, so a model can be served.
    QVERIFY(QFile::remove(engine));
    QVERIFY(QFile::copy(EngineFixture::fakeEngine(), engine));
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
