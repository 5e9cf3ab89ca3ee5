#include "agent/StreamingSanitizer.h"
#include "agent/SystemPrompt.h"

#include <QRandomGenerator>
#include <QTest>

using namespace SystemPrompt;

class TestSystemPrompt : public QObject
{
    Q_OBJECT
private slots:
    void compose_data()
    {
        QTest::addColumn<std::optional<QString>>("sessionOverride");
        QTest::addColumn<QString>("userName");
        QTest::addColumn<QString>("style");
        QTest::addColumn<QString>("expectedHead");

        const std::optional<QString> none;
        QTest::newRow("base only") << none << "" << "" << "Base.\n\nHome: /home/ada";
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
    void compose()
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
        QCOMPARE(SystemPrompt::compose({QStringLiteral("Base."), sessionOverride, userName, style,
                                        QStringLiteral("/home/ada")}),
                 expectedHead + block);
    }

    // Lines are judged one by one; each row mixes the lines a rule removes with look-alikes it keeps.
    void sanitize_data()
    {
        QTest::addColumn<QStringList>("reply");
        QTest::addColumn<QStringList>("shown");

        QTest::newRow("tool calls and separators")
            << QStringList{"a", "  TOOL_CALL: {\"name\":\"open_app\"}", "\tTOOL_CALL:", "  ---\t", "----", "---\r",
                           "tool_call: {}", "b"}
            << QStringList{"a", "----", "---\r", "tool_call: {}", "b"};
        QTest::newRow("echoed instructions and results")
            << QStringList{"a", "Available tools: read_file", "Home dir: /Users/x", "Dir: x", "Tool results:",
                           "Moved to Trash: /tmp/a", "File written successfully to /tmp/a", "I have confirmed it.",
                           "Clipboard: hi", "Tool output: 3", "tools: x", "b"}
            << QStringList{"a", "tools: x", "b"};
        QTest::newRow("clipboard sentences")
            << QStringList{"The clipboard is empty", "The clipboard contains cats", "The clipboard holds cats",
                           "It is empty and contains nothing"}
            << QStringList{"The clipboard holds cats", "It is empty and contains nothing"};
        // Echoes of exactly these names go, including two that are not tools of ours.
        QStringList echoes;
        for (const char *name : {"user_info", "list_files", "read_file", "write_file", "delete_file",
                                 "take_screenshot", "open_app", "close_app", "list_open_apps", "get_system_info",
                                 "get_clipboard", "set_clipboard", "list_local_models", "download_model",
                                 "set_active_model", "search_web"})
            echoes.append(QStringLiteral("[%1]: done").arg(QLatin1String(name)));
        const QStringList lookAlikes{"[notes]: x", "[open_app] : x", "[open_app: x", "[open_app]x]: y"};
        QTest::newRow("bracketed echoes") << echoes + lookAlikes << lookAlikes;
        QTest::newRow("empty") << QStringList{""} << QStringList{""};
        QTest::newRow("only leaked lines") << QStringList{"Tool results:", "[read_file]: x", "---"} << QStringList{""};
        QTest::newRow("outer empty lines go, inner stay") << QStringList{"", "", "  a", "", "b  ", "", ""}
                                                          << QStringList{"a", "", "b"};
        QTest::newRow("carriage returns kept inside") << QStringList{"a\r", "b\r", ""} << QStringList{"a\r", "b"};
    }

    void sanitize()
    {
        QFETCH(QStringList, reply);
        QFETCH(QStringList, shown);
        QCOMPARE(sanitizeReply(reply.join(QLatin1Char('\n'))), shown.join(QLatin1Char('\n')));
    }

    // The streamed cleaner's edits, applied one after another, must show exactly what cleaning the
    // whole text shows, after every fragment. Replies are built from lines that start like leaked or
    // ordinary lines, then cut at random places, so every rule sees its words split across fragments.
    void streamedCleaningMatchesWholeCleaning()
    {
        const QStringList starts = {
            "TOOL_CALL: {}", "---", "----", "[open_app]: done", "[search_web]:", "[open_app] :", "[notes]: x",
            "[open_app", "The clipboard is empty", "The clipboard contains x", "The clipboard has emptiness",
            "The clipboard holds", "Clipboard: x", "Tool results:", "Dir: /", "Home dir:", "You have tools:",
            "I have confirmed", "Hello", "", "é\U0001F600",
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
};

QTEST_GUILESS_MAIN(TestSystemPrompt)
#include "tst_system_prompt.moc"
