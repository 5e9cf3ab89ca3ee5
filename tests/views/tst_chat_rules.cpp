#include "ChatRules.h"
#include "DataReset.h"
#include "DataUrlImageProvider.h"
#include "MarkdownBlocks.h"
#include "MarkdownModel.h"
#include "conversation/AgentState.h"
#include "conversation/ArchiveStore.h"
#include "conversation/Identifiers.h"

#include <QAbstractItemModelTester>
#include <QImage>
#include <QSignalSpy>
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
        QTest::newRow("bare fence") << "```\nraw\n```" << "C(-)[\nraw\n]";
        QTest::newRow("two words are no language") << "```a b\nx```" << "C(-)[a b\nx]";
        QTest::newRow("23 characters is a language") << "```abcdefghijklmnopqrstuvw\nx```" << "C(abcdefghijklmnopqrstuvw)[x]";
        QTest::newRow("24 characters is not") << "```abcdefghijklmnopqrstuvwx\nx```" << "C(-)[abcdefghijklmnopqrstuvwx\nx]";
        QTest::newRow("unclosed fence is code to the end") << "Intro\n```py\ndef f(" << "T[p:Intro] C(py)[def f(]";
        QTest::newRow("fence without line feed") << "a```b```" << "T[p:a] C(-)[b]";
        QTest::newRow("empty code is kept") << "``````" << "C(-)[]";
        QTest::newRow("paragraphs") << "a\nb\n\nc" << "T[p:a\nb|p:c]";
        QTest::newRow("bullets") << "* one\n- two\n*three" << "T[b:one|b:two|p:*three]";
        QTest::newRow("headings") << "# A\n## B\n### C\n#### D\n#E\n#  F" << "T[h1:A|h2:B|h3:C|p:#### D\n#E|h1: F]";
        QTest::newRow("indented marker") << "  - item\n\t## Sub" << "T[b:item|h2:Sub]";
        QTest::newRow("carriage return stays") << "# T\r\nx\r" << "T[h1:T\r|p:x]";
        QTest::newRow("nothing to show") << "  \n\t\n" << "";
    }

    void parsesBlocks()
    {
        QFETCH(QString, text);
        QTEST(describe(parseBlocks(text)), "expected");
    }

    // A growing reply touches only the rows that changed, so the view redraws only those.
    void markdownRowsFollowAGrowingText()
    {
        MarkdownModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        model.setText(QStringLiteral("# Title\n\nfirst"));
        model.setText(QStringLiteral("# Title\n\nfirst words"));
        QCOMPARE(changed.size(), 1);
        QCOMPARE(changed.last().at(0).toModelIndex().row(), 1);
        QCOMPARE(changed.last().at(1).toModelIndex().row(), 1);
        QCOMPARE(inserted.size(), 1);

        model.setText(QStringLiteral("# Title\n\nfirst words\n```sh\nls"));
        QCOMPARE(model.rowCount(), 3);
        QCOMPARE(changed.size(), 1);
        const QModelIndex code = model.index(2);
        QCOMPARE(code.data(MarkdownModel::KindRole).toString(), QStringLiteral("code"));
        QCOMPARE(code.data(MarkdownModel::LanguageRole).toString(), QStringLiteral("sh"));
        QVERIFY(code.data(MarkdownModel::StartsBlockRole).toBool());

        model.setText(QStringLiteral("# Other"));
        QCOMPARE(model.rowCount(), 1);
        QCOMPARE(removed.size(), 1);
        QCOMPARE(model.index(0).data(MarkdownModel::ContentRole).toString(), QStringLiteral("Other"));
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
        QTest::newRow("system") << "system" << "x" << "";
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
        QTest::newRow("other type is text") << "assistant" << "data:image/gif;base64,aGVsbG8=" << "text";
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

    void decidesSmallRules()
    {
        QVERIFY(!ChatRules::canSend(QStringLiteral(" \n\t"), false));  // the send button stays disabled
        // Five words or more lose the fourth; the view test shows the five-word case.
        QCOMPARE(ChatRules::shortModelName(QStringLiteral("Qwen 2.5 7B Q4")), QStringLiteral("Qwen 2.5 7B Q4"));
        QCOMPARE(ChatRules::shortModelName(QStringLiteral("A B C D E F")), QStringLiteral("A B C F"));
    }

    // Edit cuts before the user message, Retry before the user message that led to the error;
    // neither touches the conversation while a reply is being written into it.
    void editAndRetry_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("on");        // index of the message acted on
        QTest::addColumn<bool>("turnRuns");
        QTest::addColumn<QVariant>("result");
        QTest::addColumn<int>("kept");
        QTest::newRow("edit first") << "edit" << 0 << false << QVariant(QStringLiteral("one")) << 0;
        QTest::newRow("edit second") << "edit" << 2 << false << QVariant(QStringLiteral("two")) << 2;
        QTest::newRow("retry error") << "retry" << 3 << false << QVariant(QStringLiteral("two")) << 2;
        QTest::newRow("edit during a turn") << "edit" << 0 << true << QVariant() << 4;
        QTest::newRow("retry during a turn") << "retry" << 3 << true << QVariant() << 4;
    }

    void editAndRetry()
    {
        QFETCH(QString, action);
        QFETCH(int, on);
        QFETCH(bool, turnRuns);
        QFETCH(QVariant, result);
        QFETCH(int, kept);
        QTemporaryDir dir;
        ArchiveStore store(dir.filePath(QStringLiteral("chats.json")));
        AgentState state(&store, nullptr);
        for (const auto &[role, text] : {std::pair{Roles::user, "one"}, {Roles::assistant, "fine"},
                                         {Roles::user, "two"}, {Roles::assistant, "Error: gone"}})
            state.appendMessage(Message::make(role, QString::fromLatin1(text)));
        state.syncActiveSession();
        state.setIsLoading(turnRuns);
        const QString id = Identifiers::uuidText(state.messages().at(on).id);
        const QVariant got = action == QLatin1String("edit") ? ChatRules::editMessage(&state, id)
                                                             : ChatRules::retryMessage(&state, id);
        QCOMPARE(got, result);
        QCOMPARE(state.messageCount(), kept);
        QCOMPARE(state.activeSession()->messages.size(), kept);
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
        QTest::newRow("mail link") << "[me](mailto:a@b.org)" << "<a href=\"mailto:a@b.org\">me</a>";
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
        QTest::newRow("code keeps stars") << "`a*b*c`" << "<code>a*b*c</code>";
        QTest::newRow("unclosed code") << "``x` y" << "``x` y";
        QTest::newRow("unclosed strong closes at end") << "**open" << "<b>open</b>";
        QTest::newRow("control characters") << QStringLiteral("a\u0007b") << QStringLiteral("a\uFFFDb");
    }

    void rendersInlineMarkdown()
    {
        QFETCH(QString, line);
        QTEST(ChatRules::inlineMarkdownHtml(line), "html");
    }

    // The view test drops a text and another file after typed text; these are the limits.
    void attachesDroppedFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        const QString full(4000, u'x');
        const QString note = QStringLiteral("\n\n[File truncated — %1 more characters]");
        QTest::newRow("4000 characters whole") << "a.txt" << full.toUtf8() << "Contents of a.txt:\n```\n" + full + "\n```";
        QTest::newRow("4001 characters cut") << "a.log" << (full + "y").toUtf8()
                                             << "Contents of a.log:\n```\n" + full + note.arg(1) + "\n```";
        const QString thumb = QStringLiteral("👍🏽");
        QTest::newRow("emoji count as one") << "e.md" << thumb.repeated(4002).toUtf8()
                                            << "Contents of e.md:\n```\n" + thumb.repeated(4000) + note.arg(2) + "\n```";
        QTest::newRow("binary text file by name") << "b.txt" << QByteArray("\xff\xfe\x00", 3) << "b.txt";
    }

    void attachesDroppedFiles()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        file.close();
        QTEST(ChatRules::attachDroppedFiles(QString(), {QUrl::fromLocalFile(file.fileName())}), "expected");
    }
};

QTEST_GUILESS_MAIN(TestChatRules)
#include "tst_chat_rules.moc"
