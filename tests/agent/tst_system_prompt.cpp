#include "agent/StreamingSanitizer.h"
#include "agent/SystemPrompt.h"

#include <QRandomGenerator>
#include <QTest>

using namespace SystemPrompt;

class TestSystemPrompt : public QObject
{
    Q_OBJECT
private slots:
    void toolBlockIsTheTaughtSyntax();
    void compose_data();
    void compose();
    void lineFilter_data();
    void lineFilter();
    void sanitize_data();
    void sanitize();
    void streamedCleaningMatchesWholeCleaning();
};

void TestSystemPrompt::toolBlockIsTheTaughtSyntax()
{
    const QString &block = toolInstructionBlock();
    QCOMPARE(block.toUtf8().size(), 436);
    QVERIFY(block.startsWith(QLatin1String("\nFor explicit system actions only")));
    QVERIFY(block.contains(QLatin1String(
        "TOOL_CALL: {\"name\":\"toolname\",\"arguments\":{\"key\":\"value\"}}\nTools: list_files,")));
    QVERIFY(block.endsWith(QLatin1String("in a normal reply.")));
    QCOMPARE(block.count(QLatin1Char('\n')), 3);
    QCOMPARE(echoToolNames().size(), 16);
}

void TestSystemPrompt::compose_data()
{
    QTest::addColumn<std::optional<QString>>("sessionOverride");
    QTest::addColumn<QString>("userName");
    QTest::addColumn<QString>("style");
    QTest::addColumn<QString>("expectedHead");

    const std::optional<QString> none;
    QTest::newRow("base only") << none << "" << "" << "Base.\n\nHome: /home/ada";
    QTest::newRow("name and concise")
        << none << "Ada" << "concise"
        << "Base. The user's name is Ada. Be concise and direct.\n\nHome: /home/ada";
    QTest::newRow("detailed") << none << "" << "detailed"
                              << "Base. Be thorough and detailed.\n\nHome: /home/ada";
    QTest::newRow("balanced adds nothing") << none << "" << "balanced" << "Base.\n\nHome: /home/ada";
    QTest::newRow("style is case-sensitive") << none << "" << "Concise" << "Base.\n\nHome: /home/ada";
    QTest::newRow("name kept as stored") << none << " Ada L. " << ""
                                         << "Base. The user's name is  Ada L. .\n\nHome: /home/ada";
    QTest::newRow("override wins") << std::optional<QString>(QStringLiteral("Pirate."))
                                   << "" << "" << "Pirate.\n\nHome: /home/ada";
    QTest::newRow("empty override still wins")
        << std::optional<QString>(QString()) << "Bo" << "" << " The user's name is Bo.\n\nHome: /home/ada";
}

void TestSystemPrompt::compose()
{
    QFETCH(std::optional<QString>, sessionOverride);
    QFETCH(QString, userName);
    QFETCH(QString, style);
    QFETCH(QString, expectedHead);
    const QString prompt = SystemPrompt::compose(
        {QStringLiteral("Base."), sessionOverride, userName, style, QStringLiteral("/home/ada")});
    QCOMPARE(prompt, expectedHead + toolInstructionBlock());
}

void TestSystemPrompt::lineFilter_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("kept");

    QTest::newRow("plain") << "Hello there." << true;
    QTest::newRow("empty") << "" << true;
    QTest::newRow("indented tool call") << "  TOOL_CALL: {\"name\":\"open_app\"}" << false;
    QTest::newRow("tab then tool call") << "\tTOOL_CALL:" << false;
    QTest::newRow("tool call lower case") << "tool_call: {}" << true;
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
    QTest::newRow("clipboard word inside another") << "The clipboard: emptyish" << false;
    QTest::newRow("clipboard neither word") << "The clipboard holds cats" << true;
    QTest::newRow("words without the clipboard prefix") << "It is empty and contains nothing" << true;
    QTest::newRow("clipboard label") << "Clipboard: hi" << false;
    QTest::newRow("tool result label") << "Tool output: 3" << false;
    QTest::newRow("bracketed echo") << "[open_app]: Opened Safari" << false;
    QTest::newRow("bracketed echo, wider list") << "[search_web]: results" << false;
    QTest::newRow("bracketed other name") << "[notes]: x" << true;
    QTest::newRow("bracket then space") << "[open_app] : x" << true;
    QTest::newRow("bracket at the end") << "[open_app]" << true;
    QTest::newRow("no closing bracket") << "[open_app: x" << true;
    QTest::newRow("first bracket decides") << "[open_app]x]: y" << true;
    QTest::newRow("long bracketed name") << "[" + QString(50, QLatin1Char('a')) + "]: y" << true;
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
    QTest::newRow("sentence and call") << "Opening it.\nTOOL_CALL: {\"name\":\"open_app\"}" << "Opening it.";
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
// whole text shows, after every fragment. Replies are built from lines that start like leaked or ordinary lines, then cut at
// random places, so every rule sees its words split across fragments.
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
    for (int stream = 0; stream < 4000; ++stream) {
        QString whole;
        const int lines = random.bounded(1, 8);
        for (int l = 0; l < lines; ++l) {
            if (l > 0)
                whole += QLatin1Char('\n');
            whole += indents.at(random.bounded(indents.size()))
                + starts.at(random.bounded(starts.size())) + tails.at(random.bounded(tails.size()));
        }
        StreamingSanitizer streamed;
        QString shown;
        qsizetype at = 0;
        while (at < whole.size()) {
            const qsizetype length = std::min<qsizetype>(random.bounded(1, 6), whole.size() - at);
            streamed.append(QStringView(whole).sliced(at, length));
            at += length;
            const StreamingSanitizer::Change change = streamed.takeChange();
            QVERIFY(change.keep <= shown.size());
            shown = shown.first(change.keep) + change.tail;
            const QString sofar = whole.first(at);
            if (shown != sanitizeReply(sofar))
                QFAIL(qPrintable(QStringLiteral("differs after %1")
                                     .arg(QString::fromLatin1(sofar.toUtf8().toPercentEncoding()))));
        }
    }
}

QTEST_GUILESS_MAIN(TestSystemPrompt)
#include "tst_system_prompt.moc"
