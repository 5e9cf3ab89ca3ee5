#include "tools/AppleScriptExecutor.h"
#include "tools/ToolExecutor.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString clockName = QStringLiteral("Morlo Test Clock");

// How many live processes run exactly "xclock -title <title>", the program named by any path.
int clocksTitled(const QString &title)
{
    QProcess pgrep;
    pgrep.start(QStringLiteral("pgrep"), {QStringLiteral("-c"), QStringLiteral("-f"), "^(.*/)?xclock -title " + title + "$"});
    return pgrep.waitForFinished() ? pgrep.readAllStandardOutput().trimmed().toInt() : -1;
}

// How many top-level windows on the X server carry the given title.
int windowsTitled(const QString &title)
{
    QProcess xwininfo;
    xwininfo.start(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-children")});
    return xwininfo.waitForFinished() ? int(xwininfo.readAllStandardOutput().count("\"" + title.toUtf8() + "\":")) : -1;
}

// Plays the window manager's part on the bare test server: lists every top-level window as the
// desktop's clients (_NET_CLIENT_LIST on the root window), or takes the list away.
bool listClientWindows(bool listed)
{
    QStringList arguments{QStringLiteral("-root"), QStringLiteral("-remove"), QStringLiteral("_NET_CLIENT_LIST")};
    if (listed) {
        QProcess xwininfo;
        xwininfo.start(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-children")});
        if (!xwininfo.waitForFinished())
            return false;
        static const QRegularExpression window(QStringLiteral("^\\s+(0x[0-9a-f]+) "), QRegularExpression::MultilineOption);
        QStringList ids;
        for (const QRegularExpressionMatch &match : window.globalMatch(QString::fromLatin1(xwininfo.readAllStandardOutput())))
            ids.append(match.captured(1));
        arguments = QStringList{QStringLiteral("-root"), QStringLiteral("-f"), QStringLiteral("_NET_CLIENT_LIST"),
                                QStringLiteral("32x"), QStringLiteral("-set"), QStringLiteral("_NET_CLIENT_LIST"),
                                ids.join(QLatin1Char(','))};
    }
    return QProcess::execute(QStringLiteral("xprop"), arguments) == 0;
}

void stop(QProcess &process)
{
    process.kill();
    process.waitForFinished();
}

QString run(const char *tool, const QString &name)
{
    const ToolCall call = ToolCall::make(QLatin1String(tool), {{QStringLiteral("app_name"), name}});
    return QCoro::waitFor(ToolExecutor::execute(call));
}

} // namespace

class TestAppleScriptExecutor : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dataDir;

private slots:
    void initTestCase()
    {
        // Only the applications this test installs are visible.
        const auto install = [this](const QString &path, const QByteArray &entry) {
            QVERIFY(QDir().mkpath(QFileInfo(m_dataDir.filePath(path)).path()));
            QFile file(m_dataDir.filePath(path));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("[Desktop Entry]\nType=Application\n" + entry);
        };
        install(QStringLiteral("applications/morlo-test-clock.desktop"),
                "Name=Morlo Test Clock\nName[xx]=Horloge\nExec=xclock -title \"Morlo Test Clock\" %U\n\n"
                "[Desktop Action New]\nName=Other\n");
        install(QStringLiteral("applications/tests/helper.desktop"),
                "Name=Hidden Helper\nNoDisplay=true\nExec=env LANG=C xclock -title Helper\n");
        qputenv("XDG_DATA_DIRS", QFile::encodeName(m_dataDir.path()));
        // Windows are looked up on the test's X server even when run from a Wayland session.
        qunsetenv("WAYLAND_DISPLAY");
    }

    void openListAndQuitARealApplication()
    {
        QVERIFY(run("open_app", QStringLiteral("Bad\"Name")).startsWith(QStringLiteral("Error: Syntax error")));
        QCOMPARE(run("close_app", QStringLiteral("Not Here")),
                 QStringLiteral("Error: Application \"Not Here\" is not installed"));

        // An xclock the user started by hand with other arguments is not this application.
        QProcess bystander;
        bystander.start(QStringLiteral("xclock"), {QStringLiteral("-title"), QStringLiteral("Bystander")});
        QVERIFY(bystander.waitForStarted());
        QCOMPARE(AppleScriptExecutor::listRunningApps(), QString());

        QCOMPARE(run("open_app", clockName), QStringLiteral("Opened ") + clockName);
        QTRY_COMPARE(AppleScriptExecutor::listRunningApps(), clockName);
        QTRY_COMPARE(clocksTitled(clockName), 1);
        QTRY_COMPARE(windowsTitled(clockName), 1); // the window is really on the X server

        // Opening again, by its file id in another case, activates the one already running.
        QCOMPARE(run("open_app", QStringLiteral("MORLO-TEST-CLOCK")), QStringLiteral("Opened MORLO-TEST-CLOCK"));
        QCOMPARE(clocksTitled(clockName), 1);

        // An entry hidden from menus (a helper that shares its program with much else) is neither
        // listed nor opened nor quit: its processes are left alone.
        QProcess helper;
        helper.start(QStringLiteral("xclock"), {QStringLiteral("-title"), QStringLiteral("Helper")});
        QVERIFY(helper.waitForStarted());
        QCOMPARE(run("open_app", QStringLiteral("tests-helper.desktop")),
                 QStringLiteral("Error: Application \"tests-helper.desktop\" is not installed"));
        QCOMPARE(AppleScriptExecutor::listRunningApps(), clockName);
        QCOMPARE(run("close_app", QStringLiteral("Hidden Helper")),
                 QStringLiteral("Error: Application \"Hidden Helper\" is not installed"));
        QTest::qWait(100);
        QCOMPARE(helper.state(), QProcess::Running);
        helper.terminate();
        QVERIFY(helper.waitForFinished());

        QCOMPARE(run("close_app", clockName), QStringLiteral("Closed ") + clockName);
        QTRY_COMPARE(AppleScriptExecutor::listRunningApps(), QString());
        QTRY_COMPARE(clocksTitled(clockName), 0);
        QCOMPARE(bystander.state(), QProcess::Running);
        bystander.terminate();
        QVERIFY(bystander.waitForFinished());
    }

    // Quitting ends the processes that own a window the desktop shows as the application's
    // (and, with no window manager list to ask, every process of its program), and exactly those
    // the card named: a copy started after the card appeared stays.
    void quitEndsTheProcessesTheCardNamed_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QByteArray>("startupClass");
        QTest::addColumn<bool>("windowsListed");
        // Of "plain" (WM_CLASS "xclock", "XClock") and "renamed" (WM_CLASS "other", "XClock").
        QTest::addColumn<QStringList>("ended");
        QTest::newRow("StartupWMClass names the instance") << "morlo-quit.desktop" << QByteArray("StartupWMClass=xclock\n")
                                                           << true << QStringList{"plain"};
        QTest::newRow("StartupWMClass names the class") << "morlo-quit.desktop" << QByteArray("StartupWMClass=XClock\n")
                                                        << true << QStringList{"plain", "renamed"};
        QTest::newRow("StartupWMClass keeps its letter case") << "morlo-quit.desktop" << QByteArray("StartupWMClass=xClock\n")
                                                              << true << QStringList{};
        QTest::newRow("id names the instance") << "other.desktop" << QByteArray() << true << QStringList{"renamed"};
        QTest::newRow("id ignores letter case") << "XCLOCK.desktop" << QByteArray() << true
                                                << QStringList{"plain", "renamed"};
        QTest::newRow("another application's windows") << "morlo-quit.desktop" << QByteArray() << true << QStringList{};
        QTest::newRow("no window manager list") << "morlo-quit.desktop" << QByteArray("StartupWMClass=Nothing\n")
                                                << false << QStringList{"plain", "renamed"};
    }
    void quitEndsTheProcessesTheCardNamed()
    {
        QFETCH(QString, id);
        QFETCH(QByteArray, startupClass);
        QFETCH(bool, windowsListed);
        QFETCH(QStringList, ended);
        const QString name = QStringLiteral("Morlo Quit");
        QFile entry(m_dataDir.filePath(QStringLiteral("applications/") + id));
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nType=Application\nName=Morlo Quit\nExec=xclock -title \"Morlo Quit\"\n" + startupClass);
        entry.close();
        QProcess plain, renamed, late;
        const auto cleanUp = qScopeGuard([&] {
            entry.remove();
            listClientWindows(false);
            for (QProcess *process : {&plain, &renamed, &late})
                stop(*process);
        });

        const QStringList arguments{QStringLiteral("-title"), name};
        plain.start(QStringLiteral("xclock"), arguments);
        renamed.start(QStringLiteral("xclock"), arguments + QStringList{QStringLiteral("-name"), QStringLiteral("other")});
        QVERIFY(plain.waitForStarted() && renamed.waitForStarted());
        QTRY_COMPARE(windowsTitled(name), 2);
        QVERIFY(listClientWindows(windowsListed));

        const ResolvedAction action = ToolCallResolver::resolve(
            ToolCall::make(QStringLiteral("close_app"), {{QStringLiteral("app_name"), name}}));
        const QMap<QString, QProcess *> processes{{QStringLiteral("plain"), &plain}, {QStringLiteral("renamed"), &renamed}};
        QList<qint64> planned, expected;
        for (const UserProcess &process : action.processesToEnd)
            planned.append(process.pid);
        for (const QString &which : ended)
            expected.append(processes[which]->processId());
        std::sort(planned.begin(), planned.end());
        std::sort(expected.begin(), expected.end());
        QCOMPARE(planned, expected);
        const QString preview = action.notes.value(0);
        QVERIFY2(preview.startsWith(expected.isEmpty() ? QStringLiteral("Morlo Quit is not running")
                                                       : QStringLiteral("Ends %1 process").arg(expected.size())),
                 qPrintable(preview));
        for (const qint64 pid : expected)
            QVERIFY2(preview.contains(QStringLiteral("xclock (%1)").arg(pid)), qPrintable(preview));

        late.start(QStringLiteral("xclock"), arguments);
        QVERIFY(late.waitForStarted());
        QTRY_COMPARE(windowsTitled(name), 3);
        QVERIFY(listClientWindows(windowsListed));
        QCOMPARE(QCoro::waitFor(ToolExecutor::execute(action)), QStringLiteral("Closed ") + name);
        for (const QString &which : ended)
            QVERIFY(processes[which]->waitForFinished(5000));
        QTest::qWait(100);
        QCOMPARE(late.state(), QProcess::Running);
        for (auto it = processes.cbegin(); it != processes.cend(); ++it)
            QCOMPARE(it.value()->state() == QProcess::Running, !ended.contains(it.key()));
    }

    // A planned process is signalled only while its pid still names it: a pid reused by a process
    // started later, or by another program, is left alone.
    void endsOnlyTheProcessPlanned_data()
    {
        QTest::addColumn<quint64>("startedLater");
        QTest::addColumn<QString>("otherProgram");
        QTest::addColumn<bool>("ends");
        QTest::newRow("the same process") << quint64(0) << QString() << true;
        QTest::newRow("pid reused later") << quint64(1) << QString() << false;
        QTest::newRow("pid reused by another program") << quint64(0) << QStringLiteral("/usr/bin/xclock") << false;
    }
    void endsOnlyTheProcessPlanned()
    {
        QFETCH(quint64, startedLater);
        QFETCH(QString, otherProgram);
        QFETCH(bool, ends);
        QProcess sleeper;
        sleeper.start(QStringLiteral("sleep"), {QStringLiteral("600")});
        QVERIFY(sleeper.waitForStarted());
        const auto cleanUp = qScopeGuard([&] { stop(sleeper); });
        // Until its program has fully replaced the starting copy, /proc shows no command line.
        std::optional<UserProcess> planned;
        QTRY_VERIFY((planned = UserProcess::read(pid_t(sleeper.processId()))));
        QCOMPARE(planned->program, QFileInfo(QStandardPaths::findExecutable(QStringLiteral("sleep"))).canonicalFilePath());
        planned->started += startedLater;
        if (!otherProgram.isEmpty())
            planned->program = otherProgram;
        QCOMPARE(planned->terminate(), ends);
        if (ends)
            QVERIFY(sleeper.waitForFinished(5000));
        else
            QCOMPARE(sleeper.state(), QProcess::Running);
    }
};

QTEST_MAIN(TestAppleScriptExecutor)
#include "tst_apple_script_executor.moc"
