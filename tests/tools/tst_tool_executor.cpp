#include "TestSupport.h"
#include "platform/AppPaths.h"
#include "tools/ToolExecutor.h"
#include "tools/ToolName.h"

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using Arguments = QMap<QString, QString>;

namespace {

QString run(const QString &name, const Arguments &arguments = {})
{
    return QCoro::waitFor(ToolExecutor::execute(ToolCall::make(name, arguments)));
}

void writeBytes(const QString &path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.resize(size));
}

} // namespace

class TestToolExecutor : public QObject
{
    Q_OBJECT

private slots:
    void init() { TestSupport::resetUserData(); }

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
        row("short form", "screenshot", file, "Unknown tool: screenshot");
        row("padded", " read_file", file, "Unknown tool:  read_file");
        row("read without path", "read_file", {{"file", "/x"}}, "Missing 'path' argument");
        const char *writeMissing = "Missing 'path' or 'content' argument";
        row("write without content", "write_file", {{"path", "/tmp/never-written"}}, writeMissing);
        row("write without path", "write_file", {{"content", "x"}}, writeMissing);
        row("list without directory", "list_files", {{"path", "/"}}, "Missing 'directory' argument");
        row("delete without path", "delete_file", {}, "Missing 'path' argument");
        row("open without name", "open_app", {{"name", "x"}}, "Missing 'app_name' argument");
        row("close without name", "close_app", {}, "Missing 'app_name' argument");
        row("clipboard without text", "set_clipboard", {}, "Missing 'text' argument");
        row("download", "download_model", {{"model_name", "llama"}},
            "Use the Models tab to download models from HuggingFace.");
        row("activate", "set_active_model", {{"x", "y"}}, "Use the Models tab to load a model.");
        row("no models", "list_local_models", {}, "No models downloaded yet");
        row("missing file", "read_file", {{"path", "~/b.txt"}}, "Error: File not found: ~/b.txt");
        row("trash missing", "delete_file", {{"path", "nowhere/b.txt"}}, "Error: File not found: nowhere/b.txt");
    }
    void fixedTexts()
    {
        QFETCH(QString, tool);
        QFETCH(Arguments, arguments);
        QFETCH(QString, expected);
        QCOMPARE(run(tool, arguments), expected);
        QVERIFY(!QFile::exists(QStringLiteral("/tmp/never-written")));
    }

    // The parameters the model is told about, with and without arguments.
    void definitions()
    {
        const auto compact = [](const QJsonValue &value) {
            return QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact); // keys sorted: order-independent
        };
        const QJsonArray definitions = Tools::toolDefinitions();
        QCOMPARE(compact(definitions[9]),
                 compact(QJsonDocument::fromJson(R"({"type":"function","function":{"name":"get_clipboard",)"
                                                 R"("description":"Get current clipboard contents.","parameters":)"
                                                 R"({"type":"object","properties":{},"required":[]}}})").object()));
        QCOMPARE(compact(definitions[2]),
                 compact(QJsonDocument::fromJson(
                     R"({"type":"function","function":{"name":"write_file","description":"Write content to a file.",)"
                     R"("parameters":{"type":"object","properties":{"path":{"type":"string","description":)"
                     R"("The absolute file path"},"content":{"type":"string","description":"The content to write"}},)"
                     R"("required":["path","content"]}}})").object()));
    }

    void clipboardRoundTrip()
    {
        QGuiApplication::clipboard()->clear();
        QCOMPARE(run("get_clipboard"), QStringLiteral("(empty clipboard)"));
        QCOMPARE(run("set_clipboard", {{"text", "ünïcode — line\nbreak"}}), QStringLiteral("Clipboard set"));
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("ünïcode — line\nbreak"));
        QCOMPARE(run("get_clipboard"), QStringLiteral("ünïcode — line\nbreak"));
    }

    void localModelsListOnlySecondLevelGguf()
    {
        const QDir models(AppPaths::modelsDirectory());
        writeBytes(models.filePath("org/Llama-3.2-3B-Instruct-Q4_K_M.gguf"), 2040109465); // sparse
        writeBytes(models.filePath("org/small.gguf"), 0);
        writeBytes(models.filePath("other/Zeta.gguf"), 107374183);
        for (const char *ignored : {"other/upper.GGUF", "other/notes.txt", "other/.hidden.gguf", "loose.gguf",
                                    "org/nested/deep.gguf"})
            writeBytes(models.filePath(QLatin1String(ignored)), 10);
        QCOMPARE(run("list_local_models"),
                 QStringLiteral("Llama-3.2-3B-Instruct-Q4_K_M.gguf (1.9 GB)\nZeta.gguf (0.1 GB)\nsmall.gguf (0.0 GB)"));
    }
};

QTEST_MAIN(TestToolExecutor)
#include "tst_tool_executor.moc"
