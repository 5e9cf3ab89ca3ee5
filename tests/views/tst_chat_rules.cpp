#include "ApprovalCard.h"
#include "ChatRules.h"
#include "DataUrlImageProvider.h"
#include "MarkdownBlocks.h"
#include "MarkdownModel.h"
#include "conversation/AgentState.h"
#include "conversation/ArchiveStore.h"
#include "conversation/Identifiers.h"

#include <QAbstractItemModelTester>
#include <QBuffer>
#include <QSignalSpy>
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
        if (block.kind == Block::Kind::code) {
            out << QStringLiteral("C(%1)[%2]").arg(block.language.value_or(QStringLiteral("-")), block.content);
            continue;
        }
        QStringList lines;
        for (const TextLine &line : block.lines) {
            const QString tag = line.kind == TextLine::Kind::heading ? QStringLiteral("h%1").arg(line.level)
                : line.kind == TextLine::Kind::bullet                ? QStringLiteral("b")
                                                                     : QStringLiteral("p");
            lines << tag + QLatin1Char(':') + line.content;
        }
        out << QStringLiteral("T[%1]").arg(lines.join(QLatin1Char('|')));
    }
    return out.join(QLatin1Char(' '));
}

QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(bytes);
    return path;
}

QString pngDataUrl()
{
    QImage image(8, 6, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64());
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
        QTest::newRow("fence with language") << "Hello\n```diff\nprint(1)\n```\nBye"
                                             << "T[p:Hello] C(diff)[print(1)\n] T[p:Bye]";
        QTest::newRow("bare fence") << "```\nraw\n```" << "C(-)[\nraw\n]";
        QTest::newRow("two words are no language") << "```a b\nx```" << "C(-)[a b\nx]";
        QTest::newRow("23 characters is a language")
            << "```abcdefghijklmnopqrstuvw\nx```" << "C(abcdefghijklmnopqrstuvw)[x]";
        QTest::newRow("24 characters is not") << "```abcdefghijklmnopqrstuvwx\nx```"
                                              << "C(-)[abcdefghijklmnopqrstuvwx\nx]";
        QTest::newRow("unclosed fence is code to the end") << "Intro\n```py\ndef f(" << "T[p:Intro] C(py)[def f(]";
        QTest::newRow("fence without line feed") << "a```b```" << "T[p:a] C(-)[b]";
        QTest::newRow("empty code is kept") << "``````" << "C(-)[]";
        QTest::newRow("paragraphs") << "a\nb\n\nc" << "T[p:a\nb|p:c]";
        QTest::newRow("bullets") << "* one\n- two\n*three" << "T[b:one|b:two|p:*three]";
        QTest::newRow("headings") << "# A\n## B\n### C\n#### D\n#E\n#  F"
                                  << "T[h1:A|h2:B|h3:C|p:#### D\n#E|h1: F]";
        QTest::newRow("indented marker") << "  - item\n\t## Sub" << "T[b:item|h2:Sub]";
        QTest::newRow("carriage return stays") << "# T\r\nx\r" << "T[h1:T\r|p:x]";
        QTest::newRow("nothing to show") << "  \n\t\n" << "";
        QTest::newRow("empty") << "" << "";
    }

    void parsesBlocks()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(describe(parseBlocks(text)), expected);
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
        QCOMPARE(model.rowCount(), 2);
        model.setText(QStringLiteral("# Title\n\nfirst words"));
        QCOMPARE(changed.size(), 1);
        QCOMPARE(changed.last().at(0).toModelIndex().row(), 1);
        QCOMPARE(changed.last().at(1).toModelIndex().row(), 1);
        QCOMPARE(inserted.size(), 1);

        model.setText(QStringLiteral("# Title\n\nfirst words\n```sh\nls"));
        QCOMPARE(model.rowCount(), 3);
        const QModelIndex code = model.index(2);
        QCOMPARE(code.data(MarkdownModel::KindRole).toString(), QStringLiteral("code"));
        QCOMPARE(code.data(MarkdownModel::LanguageRole).toString(), QStringLiteral("sh"));
        QVERIFY(code.data(MarkdownModel::StartsBlockRole).toBool());
        QCOMPARE(changed.size(), 1);

        model.setText(QStringLiteral("# Other"));
        QCOMPARE(model.rowCount(), 1);
        QCOMPARE(removed.size(), 1);
        QCOMPARE(model.index(0).data(MarkdownModel::ContentRole).toString(), QStringLiteral("Other"));
    }

    void listsApprovalRows_data()
    {
        QTest::addColumn<QVariantMap>("call");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QString>("description");
        auto call = [](const QString &name, const QVariantMap &arguments) {
            return QVariantMap{{QStringLiteral("name"), name}, {QStringLiteral("arguments"), arguments}};
        };
        QTest::newRow("no arguments") << call("take_screenshot", {})
                                      << QStringList{"wrench.and.screwdriver.fill|Action|Take Screenshot"}
                                      << "Capture the current screen";
        QTest::newRow("unknown tool") << call("format_disk", {{"app_name", "x"}})
                                      << QStringList{"wrench.and.screwdriver.fill|Action|format_disk", "app.badge|App_name|x"}
                                      << "";
        QTest::newRow("sorted, icons by lower-cased name")
            << call("write_file", {{"path", "/tmp/a"}, {"content", "hi"}, {"Path", "/b"}, {"mode x", "y"}})
            << QStringList{"wrench.and.screwdriver.fill|Action|Write File", "folder|Path|/b", "doc.text|Content|hi",
                           "chevron.right|Mode X|y", "folder|Path|/tmp/a"}
            << "Write content to a file";
        QTest::newRow("text and directory") << call("list_files", {{"directory", "~"}, {"text", "t"}})
            << QStringList{"wrench.and.screwdriver.fill|Action|List Files", "folder|Directory|~", "text.quote|Text|t"}
            << "List files in a directory";
    }

    void listsApprovalRows()
    {
        QFETCH(QVariantMap, call);
        QFETCH(QStringList, rows);
        QFETCH(QString, description);
        QStringList shown;
        for (const QVariant &row : ApprovalCard::rows(call)) {
            const QVariantMap map = row.toMap();
            shown << map.value("icon").toString() + '|' + map.value("label").toString() + '|' + map.value("value").toString();
        }
        QCOMPARE(shown, rows);
        QCOMPARE(ApprovalCard::description(call.value("name").toString()), description);
    }

    void hidesBookkeepingMessages_data()
    {
        QTest::addColumn<QString>("role");
        QTest::addColumn<QString>("content");
        QTest::addColumn<bool>("hidden");
        QTest::newRow("empty placeholder") << "assistant" << " \n " << true;
        QTest::newRow("tool result") << "tool_result" << "ok" << true;
        QTest::newRow("system") << "system" << "x" << true;
        QTest::newRow("user tool results") << "user" << "Tool results: done" << true;
        QTest::newRow("assistant tool results") << "assistant" << "Tool results: done" << false;
        QTest::newRow("follow-up prompt") << "user" << "Briefly confirm what was done." << true;
        QTest::newRow("no model warning") << "assistant" << "x ⚠️ No model loaded y" << true;
        QTest::newRow("only tool lines") << "assistant" << "TOOL_CALL: {}\n\n  \tTOOL_CALL: {}" << true;
        QTest::newRow("tool line and prose") << "assistant" << "Sure.\nTOOL_CALL: {}" << false;
        QTest::newRow("plain user") << "user" << "hi" << false;
    }

    void hidesBookkeepingMessages()
    {
        QFETCH(QString, role);
        QFETCH(QString, content);
        QFETCH(bool, hidden);
        QCOMPARE(ChatRules::shouldHide(role, content), hidden);
    }

    void decidesSmallRules()
    {
        QVERIFY(!ChatRules::canSend(QStringLiteral(" \n\t"), false));
        QVERIFY(!ChatRules::canSend(QStringLiteral("hi"), true));
        QVERIFY(ChatRules::canSend(QStringLiteral(" hi "), false));
        QCOMPARE(ChatRules::shortModelName(QStringLiteral("Llama 3.2 3B Instruct Q4_K_M")),
                 QStringLiteral("Llama 3.2 3B Q4_K_M"));
        QCOMPARE(ChatRules::shortModelName(QStringLiteral("Qwen 2.5 7B Q4")), QStringLiteral("Qwen 2.5 7B Q4"));
        QVERIFY(ChatRules::isErrorReply(QStringLiteral("assistant"), QStringLiteral("Error: boom")));
        QVERIFY(!ChatRules::isErrorReply(QStringLiteral("user"), QStringLiteral("Error: boom")));
    }

    void rendersInlineMarkdown_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("html");
        QTest::newRow("spans") << "**b** *i* _j_ ~~s~~ `c`" << "<b>b</b> <i>i</i> <i>j</i> <s>s</s> <code>c</code>";
        QTest::newRow("link") << "see [docs](https://x.org/a?b=1&c=2)"
                              << "see <a href=\"https://x.org/a?b=1&amp;c=2\">docs</a>";
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
        QFETCH(QString, html);
        QCOMPARE(ChatRules::inlineMarkdownHtml(line), html);
    }

    void decodesDataUrls_data()
    {
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("drawsImage");
        QTest::newRow("png") << pngDataUrl() << "image" << true;
        QTest::newRow("bad base64 is text") << "data:image/png;base64,@@@" << "text" << false;
        QTest::newRow("not an image draws nothing") << "data:image/jpeg;base64,aGVsbG8=" << "image" << false;
        QTest::newRow("other type is text") << "data:image/gif;base64,aGVsbG8=" << "text" << false;
        QTest::newRow("gigantic is not decoded")
            << QStringLiteral("data:image/png;base64,") + QString(DataUrlImageProvider::maximumLength, QLatin1Char('A'))
            << "text" << false;
    }

    void decodesDataUrls()
    {
        QFETCH(QString, content);
        QFETCH(QString, kind);
        QFETCH(bool, drawsImage);
        QCOMPARE(ChatRules::contentKind(content), kind);
        DataUrlImageProvider provider;
        QSize size;
        const QImage image = provider.requestImage(DataUrlImageProvider::store(content), &size, QSize(400, 280));
        QCOMPARE(!image.isNull(), drawsImage);
    }

    void attachesDroppedFiles_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        const QByteArray full(4000, 'x');
        QTest::newRow("4000 characters whole") << "" << "a.txt" << full
                                               << "Contents of a.txt:\n```\n" + QString(full) + "\n```";
        QTest::newRow("4001 characters cut") << "" << "a.log" << full + "y"
            << "Contents of a.log:\n```\n" + QString(full) + "\n\n[File truncated — 1 more characters]\n```";
        QTest::newRow("emoji count as one")
            << "" << "e.md" << QString(QStringLiteral("👍🏽")).repeated(4002).toUtf8()
            << "Contents of e.md:\n```\n" + QStringLiteral("👍🏽").repeated(4000)
                   + "\n\n[File truncated — 2 more characters]\n```";
        QTest::newRow("capital extension, after text") << "see" << "N.MD" << QByteArray("# t")
                                                       << "see\nContents of N.MD:\n```\n# t\n```";
        QTest::newRow("other extension by name") << "see" << "p.pdf" << QByteArray("%PDF") << "see p.pdf";
        QTest::newRow("binary text file by name") << "" << "b.txt" << QByteArray("\xff\xfe\x00", 3) << "b.txt";
    }

    void attachesDroppedFiles()
    {
        QFETCH(QString, input);
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString path = writeFile(dir, name, bytes);
        QCOMPARE(ChatRules::attachDroppedFiles(input, {QUrl::fromLocalFile(path)}), expected);
    }

    void editsAndRetries()
    {
        QTemporaryDir dir;
        ArchiveStore archive(dir.filePath(QStringLiteral("chats.json")));
        AgentState state(&archive, nullptr);
        const Message first = Message::make(QStringLiteral("user"), QStringLiteral("one"));
        const Message reply = Message::make(QStringLiteral("assistant"), QStringLiteral("Error: down"));
        state.appendMessage(first);
        state.appendMessage(reply);

        QCOMPARE(ChatRules::retryMessage(&state, Identifiers::uuidText(reply.id)).toString(), QStringLiteral("one"));
        QCOMPARE(state.messageCount(), 0);

        state.appendMessage(reply);
        QVERIFY(ChatRules::retryMessage(&state, Identifiers::uuidText(reply.id)).isNull());
        QCOMPARE(state.messageCount(), 1);

        state.removeLastMessage();
        state.appendMessage(first);
        state.appendMessage(reply);
        QCOMPARE(ChatRules::editMessage(&state, Identifiers::uuidText(first.id)).toString(), QStringLiteral("one"));
        QCOMPARE(state.messageCount(), 0);
        QVERIFY(ChatRules::editMessage(&state, Identifiers::uuidText(first.id)).isNull());
    }
};

QTEST_GUILESS_MAIN(TestChatRules)
#include "tst_chat_rules.moc"
