#include "ChatRules.h"
#include "DataReset.h"
#include "DataUrlImageProvider.h"
#include "MarkdownBlocks.h"
#include "conversation/AgentState.h"
#include "conversation/ArchiveStore.h"

#include <QImage>
#include <QTemporaryDir>
#include <QTest>

using namespace MarkdownBlocks;

namespace {
// A compact picture of parsed blocks: "T[p:Hello]" for text, "C(diff)[print(1)\n]" for code.
QString describe(const QList<Block> &blocks)
{
    QStringList out;
    for (const Block &block : blocks) {
        QStringList lines;
        for (const TextLine &line : block.lines) {
            const bool heading = line.kind == TextLine::Kind::heading;
            lines << (heading ? QStringLiteral("h%1").arg(line.level) : line.kind == TextLine::Kind::bullet ? "b" : "p")
                         + u':' + line.content;
        }
        out << (block.kind == Block::Kind::code
                    ? QStringLiteral("C(%1)[%2]").arg(block.language.value_or(QStringLiteral("-")), block.content)
                    : QStringLiteral("T[%1]").arg(lines.join(u'|')));
    }
    return out.join(u' ');
}
} // namespace

class TestChatRules : public QObject
{
    Q_OBJECT

private slots:
    void parsesBlocks_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("fence with language") << "Hello\n```diff\nprint(1)\n```\nBye" << "T[p:Hello] C(diff)[print(1)\n] T[p:Bye]";
        QTest::newRow("two words are no language") << "```a b\nx```" << "C(-)[a b\nx]";
        QTest::newRow("23 characters is a language") << "```abcdefghijklmnopqrstuvw\nx```" << "C(abcdefghijklmnopqrstuvw)[x]";
        QTest::newRow("24 characters is not") << "```abcdefghijklmnopqrstuvwx\nx```" << "C(-)[abcdefghijklmnopqrstuvwx\nx]";
        QTest::newRow("unclosed fence is code to the end") << "Intro\n```py\ndef f(" << "T[p:Intro] C(py)[def f(]";
        QTest::newRow("bullets") << "* one\n- two\n*three" << "T[b:one|b:two|p:*three]";
        QTest::newRow("headings") << "# A\n## B\n### C\n#### D\n#E\n#  F" << "T[h1:A|h2:B|h3:C|p:#### D\n#E|h1: F]";
        QTest::newRow("nothing to show") << "  \n\t\n" << "";
    }

    void parsesBlocks()
    {
        QFETCH(QString, text);
        QTEST(describe(parseBlocks(text)), "expected");
    }

    // How a message is drawn: not at all, as an error reply offering Retry, as a picture or as text.
    void drawsMessages_data()
    {
        QTest::addColumn<QString>("role");
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("shownAs");  // "", "error", "image", "broken image" or "text"
        const QString png = QStringLiteral("data:image/png;base64,iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQD"
                                           "wAEhQGAhKmMIQAAAABJRU5ErkJggg==");
        QTest::newRow("empty placeholder") << "assistant" << " \n " << "";
        QTest::newRow("tool result") << "tool_result" << "ok" << "";
        QTest::newRow("user tool results") << "user" << "Tool results: done" << "";
        QTest::newRow("assistant tool results") << "assistant" << "Tool results: done" << "text";
        QTest::newRow("follow-up prompt") << "user" << "Briefly confirm what was done." << "";
        QTest::newRow("no model warning") << "assistant" << "x ⚠️ No model loaded y" << "";
        QTest::newRow("only tool lines") << "assistant" << "TOOL_CALL: {}\n\n  \tTOOL_CALL: {}" << "";
        QTest::newRow("tool line and prose") << "assistant" << "Sure.\nTOOL_CALL: {}" << "text";
        QTest::newRow("error reply") << "assistant" << "Error: boom" << "error";
        QTest::newRow("user writing Error:") << "user" << "Error: boom" << "text";
        QTest::newRow("png") << "user" << png << "image";
        QTest::newRow("bad base64 is text") << "user" << "data:image/png;base64,@@@" << "text";
        QTest::newRow("not an image draws nothing") << "user" << "data:image/jpeg;base64,aGVsbG8=" << "broken image";
        QTest::newRow("gigantic is not decoded")
            << "user" << "data:image/png;base64," + QString(DataUrlImageProvider::maximumLength, u'A') << "text";
    }

    void drawsMessages()
    {
        QFETCH(QString, role);
        QFETCH(QString, content);
        QFETCH(QString, shownAs);
        QCOMPARE(ChatRules::shouldHide(role, content), shownAs.isEmpty());
        QCOMPARE(ChatRules::isErrorReply(role, content), shownAs == QLatin1String("error"));
        QCOMPARE(ChatRules::contentKind(content), QString(shownAs.endsWith(QLatin1String("image")) ? "image" : "text"));
        QSize size;
        const QImage image =
            DataUrlImageProvider().requestImage(DataUrlImageProvider::store(content), &size, QSize(400, 280));
        QCOMPARE(image.isNull(), shownAs != QLatin1String("image"));
    }

    // Delete All Data during a turn waits for the turn to end, then erases the conversation.
    void deleteAllDataWaitsForTheTurn()
    {
        QTemporaryDir dir;
        ArchiveStore store(dir.filePath(QStringLiteral("chats.json")));
        AgentState state(&store, nullptr);
        state.appendMessage(Message::make(Roles::user, QStringLiteral("hello")));
        state.syncActiveSession();
        state.setIsLoading(true);
        QCoro::Task<> reset = DataReset::deleteAllData(&state, nullptr, nullptr);
        QCOMPARE(state.messageCount(), 1);
        state.appendMessage(Message::make(Roles::assistant, QStringLiteral("Error: stopped")));
        state.setIsLoading(false);
        QCoro::waitFor(std::move(reset));
        QCOMPARE(state.messageCount(), 0);
        QCOMPARE(state.sessionCount(), 1);
    }

    void rendersInlineMarkdown_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("html");
        QTest::newRow("spans") << "**b** *i* _j_ ~~s~~ `c`" << "<b>b</b> <i>i</i> <i>j</i> <s>s</s> <code>c</code>";
        QTest::newRow("link") << "see [docs](https://x.org/a?b=1&c=2)" << "see <a href=\"https://x.org/a?b=1&amp;c=2\">docs</a>";
        // Only web and mail links are links; anything else shows its real target as text.
        QTest::newRow("file link is text") << "[docs](file:///etc/passwd)" << "docs (file:///etc/passwd)";
        QTest::newRow("script link is text") << "[x](javascript:alert(1)" << "x (javascript:alert(1)";
        QTest::newRow("custom scheme is text") << "[update](x-app://run?cmd=rm)" << "update (x-app://run?cmd=rm)";
        QTest::newRow("web link without host is text") << "[a](https:/etc)" << "a (https:/etc)";
        QTest::newRow("no block structure") << "# not a heading\n> nor a quote\n1. nor a list"
                                            << "# not a heading<br>&gt; nor a quote<br>1. nor a list";
        QTest::newRow("markup is text") << "<b>x</b> & y" << "&lt;b&gt;x&lt;/b&gt; &amp; y";
        QTest::newRow("snake_case stays") << "my_var_name" << "my_var_name";
        QTest::newRow("lone star") << "2 * 3 = 6" << "2 * 3 = 6";
        QTest::newRow("escapes") << "\\*not em\\*" << "*not em*";
        QTest::newRow("unclosed strong closes at end") << "**open" << "<b>open</b>";
        QTest::newRow("control characters") << QStringLiteral("a\u0007b") << QStringLiteral("a\uFFFDb");
    }

    void rendersInlineMarkdown()
    {
        QFETCH(QString, line);
        QTEST(ChatRules::inlineMarkdownHtml(line), "html");
    }
};

QTEST_GUILESS_MAIN(TestChatRules)
#include "tst_chat_rules.moc"
