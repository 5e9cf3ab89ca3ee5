#include "agent/StreamingSanitizer.h"
#include "agent/SystemPrompt.h"

#include <QRandomGenerator>
#include <QTest>

using namespace SystemPrompt;

class TestSystemPrompt : public QObject
{
    Q_OBJECT
private slots:
    void compose_data();
    void compose();
    void lineFilter_data();
    void lineFilter();
    void sanitize_data();
    void sanitize();
    void streamedCleaningMatchesWholeCleaning();
};

void TestSystemPrompt::compose_data()
{
    QTest::addColumn<std::optional<QString>>("sessionOverride");
    QTest::addColumn<QString>("userName");
    QTest::addColumn<QString>("style");
    QTest::addColumn<QString>("expectedHead");

    const std::optional<QString> none;
    QTest::newRow("base only") << none << "" << "" << "Base.\n\nHome: /home/ada";
    QTest::newRow("name and concise") << none << "Ada" << "concise"
                                      << "Base. The user's name is Ada. Be concise and direct.\n\nHome: /home/ada";
    QTest::newRow("detailed") << none << "" << "detailed" << "Base. Be thorough and detailed.\n\nHome: /home/ada";
    QTest::newRow("balanced adds nothing") << none << "" << "balanced" << "Base.\n\nHome: /home/ada";
    QTest::newRow("style is case-sensitive") << none << "" << "Concise" << "Base.\n\nHome: /home/ada";
    QTest::newRow("name kept as stored") << none << " Ada L. " << ""
                                         << "Base. The user's name is  Ada L. .\n\nHome: /home/ada";
    QTest::newRow("override wins") << std::optional<QString>(QStringLiteral("Pirate.")) << "" << ""
                                   << "Pirate.\n\nHome: /home/ada";
    QTest::newRow("empty override still wins") << std::optional<QString>(QString()) << "Bo" << ""
                                               << " The user's name is Bo.\n\nHome: /home/ada";
}

// Every prompt ends with the block that teaches the model the one-line call syntax, word for word.
void TestSystemPrompt::compose()
{
    QFETCH(std::optional<QString>, sessionOverride);
    QFETCH(QString, userName);
    QFETCH(QString, style);
    QFETCH(QString, expectedHead);
    const QString block = QStringLiteral(
        "\nFor explicit system actions only (open app, read/write file, etc.) output exactly one line: "
        "TOOL_CALL: {\"name\":\"toolname\",\"arguments\":{\"key\":\"value\"}}\nTools: list_files, read_file, "
        "write_file, delete_file, take_screenshot, open_app, close_app, list_open_apps, get_system_info, "
        "get_clipboard, set_clipboard\nNEVER call tools to answer questions. NEVER include tool names, "
        "clipboard contents, file paths, or system info in a normal reply.");
    QCOMPARE(block.toUtf8().size(), 436);
    QCOMPARE(SystemPrompt::compose({QStringLiteral("Base."), sessionOverride, userName, style,
                                    QStringLiteral("/home/ada")}),
             expectedHead + block);
}

void TestSystemPrompt::lineFilter_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("kept");

    QTest::newRow("plain") << "Hello there." << true;
    QTest::newRow("indented tool call") << "  TOOL_CALL: {\"name\":\"open_app\"}" << false;
    QTest::newRow("three dashes") << "---" << false;
    QTest::newRow("three dashes with spaces") << "  ---\t" << false;
    QTest::newRow("four dashes") << "----" << true;
    QTest::newRow("dashes then carriage return") << "---\r" << true;
    QTest::newRow("tools listing") << "Available tools: read_file" << false;
    QTest::newRow("home dir") << "Home dir: /Users/x" << false;
    QTest::newRow("dir") << "Dir: x" << false;
    QTest::newRow("results header") << "Tool results:" << false;
    QTest::newRow("trash echo") << "Moved to Trash: /tmp/a" << false;
    QTest::newRow("written echo") << "File written successfully to /tmp/a" << false;
    QTest::newRow("confirmed") << "I have confirmed the file." << false;
    QTest::newRow("prefix is case-sensitive") << "tools: x" << true;
    QTest::newRow("clipboard empty") << "The clipboard is empty" << false;
    QTest::newRow("clipboard contains") << "The clipboard contains cats" << false;
    QTest::newRow("clipboard neither word") << "The clipboard holds cats" << true;
    QTest::newRow("words without the clipboard prefix") << "It is empty and contains nothing" << true;
    QTest::newRow("clipboard label") << "Clipboard: hi" << false;
    QTest::newRow("tool result label") << "Tool output: 3" << false;
    QTest::newRow("bracketed other name") << "[notes]: x" << true;
    QTest::newRow("bracket then space") << "[open_app] : x" << true;
    QTest::newRow("no closing bracket") << "[open_app: x" << true;
    QTest::newRow("first bracket decides") << "[open_app]x]: y" << true;
    // Echoes of exactly these names go, including two that are not tools of ours.
    for (const char *name : {"user_info", "list_files", "read_file", "write_file", "delete_file",
                             "take_screenshot", "open_app", "close_app", "list_open_apps", "get_system_info",
                             "get_clipboard", "set_clipboard", "list_local_models", "download_model",
                             "set_active_model", "search_web"})
        QTest::addRow("echo of %s", name) << QStringLiteral("[%1]: done").arg(QLatin1String(name)) << false;
}

void TestSystemPrompt::lineFilter()
{
    QFETCH(QString, line);
    QFETCH(bool, kept);
    QCOMPARE(isDisplayableLine(line), kept);
}

void TestSystemPrompt::sanitize_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("shown");

    QTest::newRow("empty") << "" << "";
    QTest::newRow("only leaked lines") << "Tool results:\n[read_file]: x\n---" << "";
    QTest::newRow("outer empty lines go, inner stay") << "\n\n  a\n\nb  \n\n" << "a\n\nb";
    QTest::newRow("removed line between") << "a\nTOOL_CALL: x\nb" << "a\nb";
    QTest::newRow("carriage returns kept inside") << "a\r\nb\r\n" << "a\r\nb";
}

void TestSystemPrompt::sanitize()
{
    QFETCH(QString, reply);
    QFETCH(QString, shown);
    QCOMPARE(sanitizeReply(reply), shown);
}

// The streamed cleaner's edits, applied one after another, must show exactly what cleaning the
// whole text shows, after every fragment. Replies are built from lines that start like leaked or
// ordinary lines, then cut at random places, so every rule sees its words split across fragments.
void TestSystemPrompt::streamedCleaningMatchesWholeCleaning()
{
    const QStringList starts = {
        "TOOL_CALL: {}", "---", "----", "[open_app]: done", "[search_web]:", "[open_app] :",
        "[notes]: x", "[open_app", "The clipboard is empty", "The clipboard contains x",
        "The clipboard has emptiness", "The clipboard holds", "Clipboard: x", "Tool results:",
        "Dir: /", "Home dir:", "You have tools:", "I have confirmed", "Hello", "", "é\U0001F600",
    };
    const QStringList tails = {"", " x", " empty", " contains", "]", "]:", "\r", " \t", "---", "\u00a0"};
    const QStringList indents = {"", "", " ", "\t ", "\u2028", "\u00a0"};
    QRandomGenerator random(20261206);
    const auto pick = [&random](const QStringList &list) { return list.at(random.bounded(list.size())); };
    for (int stream = 0; stream < 4000; ++stream) {
        QStringList lines;
        for (int l = random.bounded(1, 8); l > 0; --l)
            lines.append(pick(indents) + pick(starts) + pick(tails));
        const QString whole = lines.join(QLatin1Char('\n'));
        StreamingSanitizer streamed;
        QString shown;
        for (qsizetype at = 0; at < whole.size();) {
            const qsizetype length = std::min<qsizetype>(random.bounded(1, 6), whole.size() - at);
            streamed.append(QStringView(whole).sliced(at, length));
            at += length;
            const StreamingSanitizer::Change change = streamed.takeChange();
            QVERIFY(change.keep <= shown.size());
            shown = shown.first(change.keep) + change.tail;
            if (shown != sanitizeReply(whole.first(at)))
                QFAIL(whole.first(at).toUtf8().toPercentEncoding().prepend("differs after ").constData());
        }
    }
}

QTEST_GUILESS_MAIN(TestSystemPrompt)
#include "tst_system_prompt.moc"
