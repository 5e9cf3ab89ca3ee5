#include "tools/FileActions.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

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

QString trashFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Trash");
}

} // namespace

class TestFileActions : public QObject
{
    Q_OBJECT

    // Under the test's home, so the trash used is the home one and never a volume's own.
    QTemporaryDir m_dir{QDir::home().filePath(QStringLiteral("files-XXXXXX"))};

    QString at(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void init() { QDir(trashFolder()).removeRecursively(); }

    void reading_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected"); // text, or "Error: …" prefix
        QTest::newRow("plain") << "a.txt" << "alpha\nbeta";
        QTest::newRow("missing") << "b.txt" << "Error: File not found: ";
        QTest::newRow("folder") << "folder" << "Error: ";
        QTest::newRow("not utf-8") << "latin1.txt" << "Error: ";
    }
    void reading()
    {
        QFETCH(QString, path);
        QFETCH(QString, expected);
        put(at("a.txt"), "alpha\nbeta");
        put(at("latin1.txt"), "caf\xe9");
        QDir().mkpath(at("folder"));
        const TextResult result = FileActions::readFile(at(path));
        if (expected.startsWith(QLatin1String("Error: "))) {
            QVERIFY(std::holds_alternative<ActionError>(result));
            QVERIFY(resultText(result).startsWith(expected));
        } else {
            QCOMPARE(std::get<QString>(result), expected);
        }
    }

    void tildeMeansHomeAndErrorsKeepThePathAsGiven()
    {
        const QString name = QDir::home().relativeFilePath(at("a.txt"));
        put(at("a.txt"), "home file");
        QCOMPARE(resultText(FileActions::readFile(QStringLiteral("~/") + name)), QStringLiteral("home file"));
        const ActionError missing = std::get<ActionError>(FileActions::readFile(QStringLiteral("~/b.txt")));
        QCOMPARE(missing.description, QStringLiteral("File not found: ~/b.txt"));
        QCOMPARE(missing.domain, QStringLiteral("FileOp"));
        QCOMPARE(missing.code, 404);
    }

    void writingCreatesParentsAndReplaces()
    {
        const QString target = at("new/parents/file.txt");
        QCOMPARE(FileActions::writeFile(QString(), target).has_value(), false);
        QCOMPARE(contents(target), QByteArray());
        QCOMPARE(FileActions::writeFile(QStringLiteral("ünï"), target).has_value(), false);
        QCOMPARE(contents(target), QStringLiteral("ünï").toUtf8());
        QCOMPARE(QDir(at("new/parents")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("file.txt")});

        // A link at the path is replaced; whatever it pointed to is left alone.
        put(at("outside.txt"), "keep me");
        QVERIFY(QFile::link(at("outside.txt"), at("link.txt")));
        QCOMPARE(FileActions::writeFile(QStringLiteral("new"), at("link.txt")).has_value(), false);
        QCOMPARE(contents(at("outside.txt")), QByteArray("keep me"));
        QVERIFY(!QFileInfo(at("link.txt")).isSymLink());
        QCOMPARE(contents(at("link.txt")), QByteArray("new"));

        put(at("blocker"), "a file where a folder should be");
        QVERIFY(FileActions::writeFile(QStringLiteral("x"), at("blocker/inner.txt")).has_value());
    }

    void listing_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("folders");
        QTest::addColumn<QString>("expected");
        QTest::newRow("only hidden") << QStringList{".a", ".b"} << QStringList{".git"} << "(empty)";
        QTest::newRow("nothing") << QStringList{} << QStringList{} << "(empty)";
        QTest::newRow("code point order") << QStringList{"b.txt", "Zed", "a", "\u00e9", "\U0001F600", "\uFF21"}
                                          << QStringList{"Docs", "src"}
                                          << "Docs/\nZed\na\nb.txt\nsrc/\n\u00e9\n\uFF21\n\U0001F600";
    }
    void listing()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, folders);
        QFETCH(QString, expected);
        QTemporaryDir dir(QDir::home().filePath(QStringLiteral("list-XXXXXX")));
        for (const QString &file : files)
            put(dir.filePath(file), "x");
        for (const QString &folder : folders)
            QDir().mkpath(dir.filePath(folder + QStringLiteral("/inner")));
        QCOMPARE(resultText(FileActions::listFiles(dir.path())), expected);
    }

    void listingFailures()
    {
        put(at("plain.txt"), "x");
        QVERIFY(std::holds_alternative<ActionError>(FileActions::listFiles(at("plain.txt"))));
        QVERIFY(std::holds_alternative<ActionError>(FileActions::listFiles(at("no-such-folder"))));
    }

    void trashMovesFilesAndFoldersWhole()
    {
        put(at("doomed.txt"), "bye");
        put(at("tree/leaf.txt"), "leaf");
        QCOMPARE(FileActions::trashFile(at("doomed.txt")).has_value(), false);
        QCOMPARE(FileActions::trashFile(at("tree")).has_value(), false);
        QVERIFY(!QFile::exists(at("doomed.txt")));
        QVERIFY(!QFile::exists(at("tree")));
        QCOMPARE(contents(trashFolder() + QStringLiteral("/files/doomed.txt")), QByteArray("bye"));
        QCOMPARE(contents(trashFolder() + QStringLiteral("/files/tree/leaf.txt")), QByteArray("leaf"));
        QVERIFY(QFile::exists(trashFolder() + QStringLiteral("/info/doomed.txt.trashinfo")));
    }

    // Without the data folder the trash would be set up in the current directory.
    void trashNeverLandsInTheWorkingDirectory()
    {
        const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        QVERIFY(QDir(dataHome).removeRecursively());
        QTemporaryDir workingDirectory(QDir::home().filePath(QStringLiteral("cwd-XXXXXX")));
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(workingDirectory.path()));
        put(at("gone.txt"), "data");
        const auto error = FileActions::trashFile(at("gone.txt"));
        QDir::setCurrent(previous);

        QCOMPARE(error.has_value(), false);
        QCOMPARE(QDir(workingDirectory.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
        QCOMPARE(contents(trashFolder() + QStringLiteral("/files/gone.txt")), QByteArray("data"));
    }
};

QTEST_GUILESS_MAIN(TestFileActions)
#include "tst_file_actions.moc"
