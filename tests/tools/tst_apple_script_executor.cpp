#include "tools/AppleScriptExecutor.h"
#include "tools/ToolExecutor.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString clockName = QStringLiteral("Morlo Test Clock");

// How many live xclock processes carry the given title, read straight from /proc.
int clocksTitled(const QString &title)
{
    int count = 0;
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!commandLine.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> argv = commandLine.readAll().split('\0');
        if (argv.size() >= 3 && argv[0].endsWith("xclock") && argv[1] == "-title" && argv[2] == title.toUtf8())
            ++count;
    }
    return count;
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
    }

    // Only the two sentences the app writes compile; the result of both is empty.
    void scriptForms_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("expected"); // empty result, or the start of the error
        QTest::newRow("activate") << "tell application \"Not Here\" to activate"
                                  << "Application \"Not Here\" is not installed";
        QTest::newRow("empty name") << "tell application \"\" to quit" << "Application \"\" is not installed";
        QTest::newRow("quit installed, not running") << "tell application \"Morlo Test Clock\" to quit" << "";
        QTest::newRow("quote in name") << "tell application \"a\"b\" to activate" << "Syntax error";
        QTest::newRow("other verb") << "tell application \"Not Here\" to launch" << "Syntax error";
        QTest::newRow("unquoted") << "tell application Finder to quit" << "Syntax error";
        QTest::newRow("trailing text") << "tell application \"X\" to quit and more" << "Syntax error";
        QTest::newRow("nul") << QStringLiteral("tell application \"X\0\" to quit") << "Could not create script";
    }
    void scriptForms()
    {
        QFETCH(QString, source);
        QFETCH(QString, expected);
        const QString text = resultText(AppleScriptExecutor::runAppleScript(source));
        QVERIFY2(expected.isEmpty() ? text.isEmpty() : text.startsWith(QStringLiteral("Error: ") + expected),
                 qPrintable(text));
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
        // The window is really on the X server.
        QTRY_VERIFY_WITH_TIMEOUT([] {
            QProcess xwininfo;
            xwininfo.start(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-tree")});
            return xwininfo.waitForFinished() && xwininfo.readAllStandardOutput().contains("\"Morlo Test Clock\"");
        }(), 5000);

        // Opening again, by its file id in another case, activates the one already running.
        QCOMPARE(run("open_app", QStringLiteral("MORLO-TEST-CLOCK")), QStringLiteral("Opened MORLO-TEST-CLOCK"));
        QCOMPARE(clocksTitled(clockName), 1);

        // The card names what quitting will end.
        static const QRegularExpression oneClock(QStringLiteral("^Ends 1 process: xclock \\(\\d+\\)$"));
        QVERIFY2(oneClock.match(AppleScriptExecutor::quitPreview(clockName)).hasMatch(),
                 qPrintable(AppleScriptExecutor::quitPreview(clockName)));

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
        QCOMPARE(AppleScriptExecutor::quitPreview(clockName), clockName + QStringLiteral(" is not running; nothing will be ended"));
        QCOMPARE(bystander.state(), QProcess::Running);
        bystander.terminate();
        QVERIFY(bystander.waitForFinished());
    }

    void systemReport()
    {
        const QString report = AppleScriptExecutor::systemInfo();
        static const QRegularExpression shape(QStringLiteral("^Linux: [^\n]+\nRAM: [0-9]+\\.[0-9]GB\n"
                                                             "Disk: ([0-9]+GB free of [0-9]+GB|Unknown)\n"
                                                             "CPU: [1-9][0-9]* cores$"));
        QVERIFY2(shape.match(report).hasMatch(), qPrintable(report));
        QCOMPARE(AppleScriptExecutor::diskText(QStringLiteral("/no/such/place")), QStringLiteral("Unknown"));
    }
};

QTEST_MAIN(TestAppleScriptExecutor)
#include "tst_apple_script_executor.moc"
