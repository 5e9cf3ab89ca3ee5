#include "tools/ToolExecutor.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The file tools as the model calls them, so results show the path exactly as the model gave it.
QString run(const char *tool, const QMap<QString, QString> &arguments)
{
    return QCoro::waitFor(ToolExecutor::execute(ToolCall::make(QLatin1String(tool), arguments)));
}

void put(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

class TestFileActions : public QObject
{
    Q_OBJECT

    // Under the test's home, so the trash used is the home one and never a volume's own.
    QTemporaryDir m_dir{QDir::home().filePath(QStringLiteral("files-XXXXXX"))};

    QString at(const QString &name) const { return m_dir.filePath(name); }
    QString tilde(const QString &name) const { return QStringLiteral("~/") + QDir::home().relativeFilePath(at(name)); }

private slots:
    void initTestCase()
    {
        put(at("a.txt"), "alpha\nbeta");
        put(at("latin1.txt"), "caf\xe9");
        put(at("hidden/.a"), "x");
        put(at("hidden/.git/config"), "x");
        for (const char *name : {"b.txt", "Zed", "a", "\u00e9", "\U0001F600", "\uFF21", "Docs/x", "src/x"})
            put(at(QStringLiteral("order/") + QString::fromUtf8(name)), "x");
    }

    // The text, or any failure ("Error: " and the platform's description).
    void readAndList_data()
    {
        QTest::addColumn<bool>("list");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");
        QTest::newRow("read") << false << "a.txt" << "alpha\nbeta";
        QTest::newRow("read a folder") << false << "hidden" << "Error: ";
        QTest::newRow("read not utf-8") << false << "latin1.txt" << "Error: ";
        QTest::newRow("list only hidden") << true << "hidden" << "(empty)";
        QTest::newRow("list in code point order") << true << "order"
                                                  << "Docs/\nZed\na\nb.txt\nsrc/\n\u00e9\n\uFF21\n\U0001F600";
        QTest::newRow("list a file") << true << "a.txt" << "Error: ";
        QTest::newRow("list missing") << true << "missing" << "Error: ";
    }
    void readAndList()
    {
        QFETCH(bool, list);
        QFETCH(QString, path);
        QFETCH(QString, expected);
        const QString text = list ? run("list_files", {{"directory", at(path)}})
                                  : run("read_file", {{"path", at(path)}});
        QVERIFY2(expected == QLatin1String("Error: ") ? text.startsWith(expected) : text == expected,
                 qPrintable(text));
    }

    void writingReplacesAtomically()
    {
        // Missing parents are made; "~" is the home folder; an empty text makes an empty file.
        const QString target = at("new/parents/file.txt");
        QCOMPARE(run("write_file", {{"path", tilde("new/parents/file.txt")}, {"content", ""}}),
                 QStringLiteral("File written successfully to ") + tilde("new/parents/file.txt"));
        QCOMPARE(contents(target), QByteArray());
        QCOMPARE(run("write_file", {{"path", target}, {"content", "ünï"}}), "File written successfully to " + target);
        QCOMPARE(run("read_file", {{"path", tilde("new/parents/file.txt")}}), QStringLiteral("ünï"));
        QCOMPARE(entries(at("new/parents")), QStringList{QStringLiteral("file.txt")}); // no temporary left

        // A link at the path is replaced; whatever it pointed to is left alone.
        put(at("outside.txt"), "keep me");
        QVERIFY(QFile::link(at("outside.txt"), at("link.txt")));
        QCOMPARE(run("write_file", {{"path", at("link.txt")}, {"content", "new"}}),
                 "File written successfully to " + at("link.txt"));
        QCOMPARE(contents(at("outside.txt")), QByteArray("keep me"));
        QVERIFY(!QFileInfo(at("link.txt")).isSymLink());
        QCOMPARE(contents(at("link.txt")), QByteArray("new"));

        put(at("blocker"), "a file where a folder should be");
        QVERIFY(run("write_file", {{"path", at("blocker/inner.txt")}, {"content", "x"}}).startsWith("Error: "));
    }

    // Files and folders go to the home Trash whole, with their info; the Trash is set up in the
    // data folder even when that is missing, never in the current directory.
    void trashMovesFilesAndFoldersWhole()
    {
        const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        QVERIFY(QDir(dataHome).removeRecursively());
        QTemporaryDir workingDirectory(QDir::home().filePath(QStringLiteral("cwd-XXXXXX")));
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(workingDirectory.path()));
        put(at("doomed.txt"), "bye");
        put(at("tree/leaf.txt"), "leaf");
        const QString doomed = run("delete_file", {{"path", tilde("doomed.txt")}});
        const QString tree = run("delete_file", {{"path", at("tree")}});
        QDir::setCurrent(previous);

        QCOMPARE(doomed, QStringLiteral("Moved to Trash: ") + tilde("doomed.txt"));
        QCOMPARE(tree, QStringLiteral("Moved to Trash: ") + at("tree"));
        QCOMPARE(entries(workingDirectory.path()), QStringList());
        QVERIFY(!QFile::exists(at("doomed.txt")));
        QVERIFY(!QFile::exists(at("tree")));
        const QString trash = dataHome + QStringLiteral("/Trash");
        QCOMPARE(contents(trash + QStringLiteral("/files/doomed.txt")), QByteArray("bye"));
        QCOMPARE(contents(trash + QStringLiteral("/files/tree/leaf.txt")), QByteArray("leaf"));
        QVERIFY(QFile::exists(trash + QStringLiteral("/info/doomed.txt.trashinfo")));
    }
};

QTEST_GUILESS_MAIN(TestFileActions)
#include "tst_file_actions.moc"
