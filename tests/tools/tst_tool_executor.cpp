#include "TestSupport.h"
#include "platform/AppPaths.h"
#include "tools/ToolExecutor.h"

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using Arguments = QMap<QString, QString>;

namespace {

QString run(const QString &name, const Arguments &arguments = {})
{
    return QCoro::waitFor(ToolExecutor::execute(ToolCall::make(name, arguments)));
}

// A file of these bytes, or of this size (sparse, so large models cost nothing).
void put(const QString &path, const QByteArray &bytes, qint64 size = -1)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    QVERIFY(size < 0 || file.resize(size));
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

class TestToolExecutor : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        TestSupport::resetUserData();
        QGuiApplication::clipboard()->clear();
    }

    // Unknown names, missing arguments and the fixed advice come back as they are, with no
    // "Error: " in front; failures of the action do carry it, with the path as the model gave it.
    void fixedTexts_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<Arguments>("arguments");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const char *tool, const Arguments &arguments, const char *expected) {
            QTest::newRow(name) << QString::fromUtf8(tool) << arguments << QString::fromUtf8(expected);
        };
        const Arguments file{{"path", "/etc/hostname"}};
        row("upper case", "Read_File", file, "Unknown tool: Read_File");
        row("read without path", "read_file", {{"file", "/x"}}, "Missing 'path' argument");
        const char *writeMissing = "Missing 'path' or 'content' argument";
        row("write without content", "write_file", {{"path", "/tmp/never-written"}}, writeMissing);
        row("write without path", "write_file", {{"content", "x"}}, writeMissing);
        row("list without directory", "list_files", {{"path", "/"}}, "Missing 'directory' argument");
        row("open without name", "open_app", {{"name", "x"}}, "Missing 'app_name' argument");
        row("clipboard without text", "set_clipboard", {}, "Missing 'text' argument");
        row("download", "download_model", {{"model_name", "llama"}},
            "Use the Models tab to download models from HuggingFace.");
        row("activate", "set_active_model", {{"x", "y"}}, "Use the Models tab to load a model.");
        row("no models", "list_local_models", {}, "No models downloaded yet");
        row("empty clipboard", "get_clipboard", {}, "(empty clipboard)");
        row("clipboard set", "set_clipboard", {{"text", "x"}}, "Clipboard set");
    }
    void fixedTexts()
    {
        QFETCH(QString, tool);
        QFETCH(Arguments, arguments);
        QFETCH(QString, expected);
        QCOMPARE(run(tool, arguments), expected);
        QVERIFY(!QFile::exists(QStringLiteral("/tmp/never-written")));
    }

    void localModelsListOnlySecondLevelGguf()
    {
        const QDir models(AppPaths::modelsDirectory());
        put(models.filePath("org/Llama-3.2-3B-Instruct-Q4_K_M.gguf"), {}, 2040109465);
        put(models.filePath("org/small.gguf"), {});
        put(models.filePath("other/Zeta.gguf"), {}, 107374183);
        for (const char *ignored : {"other/upper.GGUF", "other/notes.txt", "other/.hidden.gguf", "loose.gguf",
                                    "org/nested/deep.gguf"})
            put(models.filePath(QLatin1String(ignored)), "0123456789");
        QCOMPARE(run("list_local_models"),
                 QStringLiteral("Llama-3.2-3B-Instruct-Q4_K_M.gguf (1.9 GB)\nZeta.gguf (0.1 GB)\nsmall.gguf (0.0 GB)"));
    }

    // Files and folders go to the home Trash whole, with their info; the Trash is set up in the
    // data folder even when that is missing, never in the current directory.
    void trashMovesFilesAndFoldersWhole()
    {
        const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        QVERIFY(QDir(dataHome).removeRecursively());
        // Under the test's home, so the trash used is the home one and never a volume's own.
        QTemporaryDir files(QDir::home().filePath(QStringLiteral("files-XXXXXX")));
        QTemporaryDir workingDirectory(QDir::home().filePath(QStringLiteral("cwd-XXXXXX")));
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(workingDirectory.path()));
        put(files.filePath("doomed.txt"), "bye");
        put(files.filePath("tree/leaf.txt"), "leaf");
        const QString doomed = "~/" + QDir::home().relativeFilePath(files.filePath("doomed.txt"));
        const QString doomedResult = run("delete_file", {{"path", doomed}});
        const QString treeResult = run("delete_file", {{"path", files.filePath("tree")}});
        QDir::setCurrent(previous);

        QCOMPARE(doomedResult, "Moved to Trash: " + doomed);
        QCOMPARE(treeResult, "Moved to Trash: " + files.filePath("tree"));
        QVERIFY(QDir(workingDirectory.path()).isEmpty());
        QVERIFY(!QFile::exists(files.filePath("doomed.txt")) && !QFile::exists(files.filePath("tree")));
        const QString trash = dataHome + QStringLiteral("/Trash");
        QCOMPARE(contents(trash + "/files/doomed.txt"), QByteArray("bye"));
        QCOMPARE(contents(trash + "/files/tree/leaf.txt"), QByteArray("leaf"));
        QVERIFY(QFile::exists(trash + "/info/doomed.txt.trashinfo"));
    }
};

QTEST_MAIN(TestToolExecutor)
#include "tst_tool_executor.moc"
