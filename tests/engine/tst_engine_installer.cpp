#include "EngineFixture.h"
#include "LocalReleases.h"
#include "TestSupport.h"
#include "engine/EngineInstaller.h"
#include "engine/EngineLocator.h"
#include "engine/ServerManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <qcorotask.h>

namespace {

void makeExecutable(const QString &path, bool executable = true)
{
    QFile file(path);
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\necho 'version: 1'\n"));
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | (executable ? QFile::ExeOwner : QFile::Permissions()));
}

// What lies in the engine folder, besides the link: the release folders and any leftovers.
QStringList engineFolder(const QString &directory)
{
    QStringList entries = QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System);
    entries.removeAll(QStringLiteral("current"));
    if (QDir(directory + QStringLiteral("/downloads")).isEmpty())
        entries.removeAll(QStringLiteral("downloads"));
    return entries;
}

QString versionOf(const QString &executable)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setProcessEnvironment(EngineLocator::withOwnLibraries(executable, QProcessEnvironment::systemEnvironment()));
    process.start(executable, {QStringLiteral("--version")});
    process.waitForFinished(20'000);
    return QString::fromUtf8(process.readAll());
}

} // namespace

class TestEngineInstaller : public QObject
{
    Q_OBJECT

    std::unique_ptr<LocalReleases> m_releases;
    QTemporaryDir m_dir;

    LocalReleases *releases()
    {
        if (!m_releases)
            m_releases = std::make_unique<LocalReleases>();
        return m_releases->isListening() ? m_releases.get() : nullptr;
    }

private slots:
    void init() { TestSupport::resetUserData(); }

    // Downloaded first, then Homebrew, then the PATH and the system's paths, then a chosen file;
    // only engines the app put there itself (or Homebrew can take back) are offered for removal.
    void sourcesInOrder_data()
    {
        QTest::addColumn<QString>("present");  // d downloaded, h Homebrew, p on the PATH, s /usr/bin, c chosen
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("removable");
        QTest::newRow("downloaded first") << "dhpsc" << "downloaded b4242" << "engine/b4242/build/bin/llama-server" << true;
        QTest::newRow("Homebrew") << "hpsc" << "Homebrew" << "brew/llama-server" << true;
        QTest::newRow("on the PATH") << "psc" << "system" << "path/llama-server" << false;
        QTest::newRow("system path") << "sc" << "system" << "usr-bin/llama-server" << false;
        QTest::newRow("chosen file") << "c" << "chosen file" << "chosen/my-server" << false;
        QTest::newRow("nothing") << "" << "" << "" << false;
    }

    void sourcesInOrder()
    {
        QFETCH(QString, present);
        QFETCH(QString, source);
        QFETCH(QString, path);
        QFETCH(bool, removable);
        QTemporaryDir dir;
        const auto at = [&](const QString &name) { return dir.filePath(name); };
        EngineEnvironment environment;
        environment.engineDirectory = at(QStringLiteral("engine"));
        environment.engineCandidates = {at(QStringLiteral("brew/llama-cli")), at(QStringLiteral("brew/llama-server"))};
        environment.homebrewLocations = {at(QStringLiteral("brew/brew"))};
        environment.searchSystemPath = true;
        environment.systemEngineCandidates = {at(QStringLiteral("usr-bin/llama-server"))};
        const QByteArray path0 = qgetenv("PATH");
        qputenv("PATH", at(QStringLiteral("path")).toUtf8());
        auto restore = qScopeGuard([&] { qputenv("PATH", path0); });

        // A file that is there but cannot be run is passed over.
        makeExecutable(at(QStringLiteral("brew/llama-cli")), false);
        makeExecutable(at(QStringLiteral("brew/brew")));
        const QList<std::pair<QChar, QString>> places{{u'd', "engine/b4242/build/bin/llama-server"}, {u'h', "brew/llama-server"},
                                                      {u'p', "path/llama-server"}, {u's', "usr-bin/llama-server"}};
        for (const auto &[letter, place] : places)
            if (present.contains(letter))
                makeExecutable(at(place));
        QVERIFY(!present.contains(u'd') || QFile::link(QStringLiteral("b4242/build/bin"), EngineLocator::currentLink(environment.engineDirectory)));
        // The user's pick is kept only when it runs.
        makeExecutable(at(QStringLiteral("chosen/my-server")), present.contains(u'c'));
        ServerManager manager(environment, nullptr);
        QCoro::waitFor(manager.engineInstaller()->chooseFile(at(QStringLiteral("chosen/my-server"))));
        QCOMPARE(manager.engineSource(), source);
        QCOMPARE(ServerManager(environment, nullptr).engineSource(), source);
        QCOMPARE(manager.engineExecutablePathText(), path.isEmpty() ? QString() : QFileInfo(at(path)).canonicalFilePath());
        QCOMPARE(manager.isEngineInstalled(), !path.isEmpty());
        QCOMPARE(manager.canUninstallEngine(), removable);
        QCOMPARE(manager.engineInstaller()->installedTag(), present.contains(u'd') ? QStringLiteral("b4242") : QString());
        if (!path.isEmpty())
            return;
        QCoro::waitFor(manager.startServer(QStringLiteral("/models/tiny.gguf"), QStringLiteral("Tiny")));
        QCOMPARE(manager.statusMessage(), QStringLiteral("AI engine not found — install llama.cpp via Homebrew in Settings"));
        // A file named as the engine that may not run is refused by the system.
        QCoro::waitFor(manager.startServer(QStringLiteral("/models/tiny.gguf"), QStringLiteral("Tiny"), std::nullopt,
                                           at(QStringLiteral("chosen/my-server"))));
        QCOMPARE(manager.statusMessage(), QStringLiteral("Launch error: execve: Permission denied"));
        QVERIFY(!manager.isStarting() && !manager.isRunning());
    }

    // One release installed; every kind of failure after it leaves it in place and nothing
    // behind; an update replaces it and removes the older release (engineInUse updates too).
    void installs_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QString>("failure");  // a part of the message; empty = installs
        QTest::addColumn<QString>("tag");      // the release in use afterwards
        QTest::newRow("latest, tar.gz with digest") << "latest" << "" << "b4748";
        QTest::newRow("not a program") << "broken" << "cannot be run on this computer" << "b4748";
        QTest::newRow("missing library") << "missinglib" << "needs the system library libgomp.so.1, which is not installed" << "b4748";
        QTest::newRow("unsupported CPU") << "sigill" << "processor instructions" << "b4748";
        QTest::newRow("digest mismatch") << "baddigest" << "does not match the checksum" << "b4748";
        QTest::newRow("entry with ..") << "dotdot" << "\"../escaped.txt\" points outside the engine folder" << "b4748";
        QTest::newRow("absolute entry") << "absolute" << "points outside the engine folder" << "b4748";
        QTest::newRow("truncated archive") << "truncated" << "damaged" << "b4748";
        QTest::newRow("no build for this computer") << "noasset" << "has no Linux build for this computer's processor" << "b4748";
        QTest::newRow("rate limit") << "ratelimit" << "API rate limit exceeded for 127.0.0.1." << "b4748";
        QTest::newRow("offline") << "offline" << "GitHub is not reachable — check your connection" << "b4748";
        QTest::newRow("libraries beside the program") << "ownlibs" << "" << "b9009";
    }

    void installs()
    {
        MORLO_REQUIRE_REAL_ENGINES();
        QFETCH(QString, scenario);
        QFETCH(QString, failure);
        QFETCH(QString, tag);
        QVERIFY(releases());
        const QUrl url = scenario == QLatin1String("offline")
            ? QUrl(QStringLiteral("http://127.0.0.1:%1/releases/latest").arg(freePort()))
            : releases()->releasesURL(scenario);
        EngineEnvironment env;
        env.engineDirectory = m_dir.filePath(QStringLiteral("engine"));
        env.releasesURL = url;
        env.preferVulkan = false;
        EngineInstaller installer(env, [] { return QString(); });
        QSignalSpy engineChanged(&installer, &EngineInstaller::engineChanged);
        QCoro::waitFor(installer.install());

        QCOMPARE(installer.phase(), failure.isEmpty() ? QStringLiteral("idle") : QStringLiteral("failed"));
        QVERIFY2(installer.failureMessage().contains(failure), qPrintable(installer.failureMessage()));
        QCOMPARE(engineChanged.size(), failure.isEmpty() ? 1 : 0);
        QCOMPARE(installer.installedTag(), tag);
        QCOMPARE(engineFolder(env.engineDirectory), QStringList{tag});
        QVERIFY(!QFileInfo::exists(m_dir.filePath(QStringLiteral("escaped.txt"))));
        QVERIFY(QDir::temp().entryList({QStringLiteral("morlo-escaped-*")}).isEmpty());

        const auto choice = EngineLocator::locate(env, QString());
        QVERIFY(choice);
        QCOMPARE(choice->sourceLabel(), QStringLiteral("downloaded ") + tag);
        QVERIFY(versionOf(choice->path).startsWith(QStringLiteral("version: ") + tag.mid(1)));
    }

    // The downloaded engine runs a real model; while it does, no update replaces it; removing
    // it stops the engine first.
    void engineInUse()
    {
        MORLO_REQUIRE_REAL_ENGINES();
        QVERIFY(releases());
        EngineFixture fixture;
        QTemporaryDir dir;
        fixture.environment.engineCandidates.clear();
        fixture.environment.engineDirectory = dir.filePath(QStringLiteral("engine"));
        // The older release has no Vulkan build: its CPU build is taken instead.
        fixture.environment.releasesURL = releases()->releasesURL(QStringLiteral("older-zip"));
        fixture.environment.preferVulkan = true;
        fixture.environment.pollIntervalMs = 100;
        fixture.environment.lastPoll = 300;
        EngineEnvironment latest = fixture.environment;
        latest.releasesURL = releases()->releasesURL(QStringLiteral("latest"));
        EngineInstaller first(latest, [] { return QString(); });
        QCoro::waitFor(first.install());
        QCOMPARE(first.installedTag(), QStringLiteral("b4748"));

        ServerManager manager(fixture.environment, nullptr);
        QSignalSpy engineChanged(&manager, &ServerManager::engineChanged);
        QCOMPARE(manager.engineSource(), QStringLiteral("downloaded b4748"));
        QCoro::waitFor(manager.startServer(TestSupport::realTinyModel(), QStringLiteral("Tiny")));
        QCOMPARE(manager.statusMessage(), QStringLiteral("Ready — Tiny"));

        EngineInstaller *installer = manager.engineInstaller();
        QCoro::waitFor(installer->install());
        QVERIFY2(installer->failureMessage().startsWith(QStringLiteral("Stop the loaded model first")), qPrintable(installer->failureMessage()));
        QCOMPARE(installer->installedTag(), QStringLiteral("b4748"));

        QCoro::waitFor(manager.stopServer());
        QCoro::waitFor(installer->install());
        QCOMPARE(installer->phase(), QStringLiteral("idle"));
        QCOMPARE(manager.engineSource(), QStringLiteral("downloaded b9591"));
        QCOMPARE(engineFolder(fixture.environment.engineDirectory), QStringList{QStringLiteral("b9591")});
        QCOMPARE(engineChanged.size(), 1);

        // A port of its own: the other build may not bind the first one again for a while.
        fixture.environment.port = freePort();
        ServerManager next(fixture.environment, nullptr);
        QCoro::waitFor(next.startServer(TestSupport::realTinyModel(), QStringLiteral("Tiny")));
        QVERIFY(next.isRunning() && next.canUninstallEngine());
        QCoro::waitFor(next.uninstallEngine());
        QVERIFY(!next.isRunning() && !next.isEngineInstalled());
        QCOMPARE(engineFolder(fixture.environment.engineDirectory), QStringList());
    }

    // Cancelling a download leaves no engine and no part of the archive behind.
    void cancel()
    {
        MORLO_REQUIRE_REAL_ENGINES();
        LocalReleases slow({QStringLiteral("--rate"), QStringLiteral("1000000")});
        QVERIFY(slow.isListening());
        QTemporaryDir dir;
        EngineEnvironment env;
        env.engineDirectory = dir.filePath(QStringLiteral("engine"));
        env.releasesURL = slow.releasesURL(QStringLiteral("latest"));
        env.preferVulkan = true;
        EngineInstaller installer(env, [] { return QString(); });
        installer.start();
        QTRY_COMPARE(installer.phase(), QStringLiteral("downloading"));
        QVERIFY2(installer.offerText().startsWith(QStringLiteral("llama.cpp b4748 · Vulkan GPU build · ")), qPrintable(installer.offerText()));
        QTRY_VERIFY(installer.progress() > 0.05);
        installer.cancel();
        QTRY_COMPARE(installer.phase(), QStringLiteral("idle"));
        QCOMPARE(installer.failureMessage(), QString());
        QCOMPARE(engineFolder(env.engineDirectory), QStringList());
        QCOMPARE(installer.installedTag(), QString());
    }
};

QTEST_GUILESS_MAIN(TestEngineInstaller)
#include "tst_engine_installer.moc"
