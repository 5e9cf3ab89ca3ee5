// The conversation archive's text. This program also runs under comma-decimal locales and the C
// locale (separate test entries), so every number here is written and read locale-free.
#include "conversation/ArchiveReader.h"
#include "conversation/ChatArchive.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QTimeZone>

namespace {

const QString sessionId = QStringLiteral("6F9619FF-8B86-D011-B42D-00C04FC964FF");
const QString messageId = QStringLiteral("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");

// A valid archive of one session holding one message with one tool call; `edit` changes the
// session, message or call objects before encoding.
using Edit = std::function<void(QJsonObject &, QJsonObject &, QJsonObject &)>;
QByteArray archiveWith(const Edit &edit)
{
    QJsonObject call{{"id", "call-1"}, {"name", "open_app"},
                     {"arguments", QJsonObject{{"app_name", "Calculator"}}}, {"status", "pending"}};
    QJsonObject message{{"id", messageId}, {"role", "assistant"}, {"content", "Hi"}, {"timestamp", 10.5}};
    QJsonObject session{{"id", sessionId}, {"title", "T"}, {"createdAt", 0}, {"updatedAt", 1}, {"isPinned", false}};
    edit(session, message, call);
    if (!call.isEmpty())
        message.insert("toolCalls", QJsonArray{call});
    session.insert("messages", QJsonArray{message});
    return QJsonDocument(QJsonArray{session}).toJson(QJsonDocument::Compact);
}

QDateTime since2001(qint64 msecs)
{
    return QDateTime(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc()).addMSecs(msecs);
}

// One session in archive form whose message holds `contentSize` characters.
QByteArray sessionText(int index, int contentSize)
{
    static QHash<std::pair<int, int>, QByteArray> made; // the large ones are slow to build
    QByteArray &text = made[{index, contentSize}];
    if (!text.isEmpty())
        return text;
    ChatSession session = ChatSession::make();
    // Quotes and backslashes, escaped in the text, must not end a string early.
    session.title = QStringLiteral("Session %1 \"q\" \\\\\" \\").arg(index);
    session.messages = {Message::make(Roles::user, QString(contentSize, QLatin1Char('a' + index % 26)))};
    text = QJsonDocument(ChatArchive::encodeSession(session)).toJson(QJsonDocument::Compact);
    return text;
}

} // namespace

class TestChatArchive : public QObject
{
    Q_OBJECT

private slots:
    // Two sessions, with and without every optional field, written as exactly this text and
    // read back whole: dates as seconds since 2001 (milliseconds kept), upper-case ids, absent
    // optionals left out, an empty call list kept.
    void storedForm()
    {
        ToolCall call{QStringLiteral("call-1"), QStringLiteral("write_file"),
                      {{"path", "/tmp/a b"}, {"content", "x\ny"}}, ToolStatus::denied, QStringLiteral("done")};
        Message reply{QUuid(messageId), Roles::assistant, QStringLiteral("Hi there"), since2001(757382400125),
                      QList<ToolCall>{call}, QStringLiteral("tiny"), QStringLiteral("Lab")};
        ChatSession full{QUuid(sessionId), QStringLiteral("Émoji 🎉 — q"), {reply}, since2001(0), since2001(1000),
                         QString(), true};
        Message plain{QUuid(sessionId), Roles::user, QString(), since2001(-1250), std::nullopt, {}, {}};
        Message results{QUuid(messageId), Roles::toolResult, QStringLiteral("Tool results:\n[x]: y"), since2001(0),
                        QList<ToolCall>{}, {}, {}};
        ChatSession bare{QUuid(messageId), QStringLiteral("T"), {plain, results}, since2001(-1250), since2001(0),
                         std::nullopt, false};

        const QByteArray stored = QStringLiteral(
            R"([{"createdAt":0,"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","isPinned":true,"messages":[)"
            R"({"content":"Hi there","id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","model":"tiny","role":"assistant",)"
            R"("server":"Lab","timestamp":757382400.125,"toolCalls":[{"arguments":{"content":"x\ny","path":"/tmp/a b"},)"
            R"("id":"call-1","name":"write_file","result":"done","status":"denied"}]}],"systemPromptOverride":"",)"
            R"("title":"Émoji 🎉 — q","updatedAt":1},)"
            R"({"createdAt":-1.25,"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","isPinned":false,"messages":[)"
            R"({"content":"","id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","role":"user","timestamp":-1.25},)"
            R"({"content":"Tool results:\n[x]: y","id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","role":"tool_result",)"
            R"("timestamp":0,"toolCalls":[]}],"title":"T","updatedAt":0}])").toUtf8();
        QCOMPARE(ChatArchive::encode({full, bare}), stored);
        const auto decoded = ChatArchive::decode(stored);
        QVERIFY(decoded);
        QCOMPARE(*decoded, (QList<ChatSession>{full, bare}));
    }

    // Whether an archive is accepted, field by field and for text that is no archive at all.
    void decoding_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("decodes");
        const auto edited = [](const char *name, const Edit &edit, bool decodes) {
            QTest::newRow(name) << archiveWith(edit) << decodes;
        };
        edited("valid", [](auto &, auto &, auto &) {}, true);
        edited("null optionals are absent", [](QJsonObject &s, QJsonObject &, QJsonObject &c) {
            s.insert("systemPromptOverride", QJsonValue::Null);
            c.insert("result", QJsonValue::Null);
        }, true);
        edited("unknown members ignored", [](QJsonObject &s, QJsonObject &m, QJsonObject &) {
            s.insert("colour", "blue");
            m.insert("extra", 1);
        }, true);
        edited("lower-case uuid", [](QJsonObject &s, auto &, auto &) { s.insert("id", sessionId.toLower()); }, true);
        edited("timestamp 3000 years on", [](auto &, QJsonObject &m, auto &) { m.insert("timestamp", 9.4e10); }, true);
        QTest::newRow("empty archive") << QByteArray("[]") << true;

        edited("missing isPinned", [](QJsonObject &s, auto &, auto &) { s.remove("isPinned"); }, false);
        edited("braced uuid", [](QJsonObject &s, auto &, auto &) { s.insert("id", "{" + sessionId + "}"); }, false);
        edited("date as ISO text", [](QJsonObject &s, auto &, auto &) { s.insert("createdAt", "2024-01-01T00:00:00Z"); }, false);
        edited("missing message role", [](auto &, QJsonObject &m, auto &) { m.remove("role"); }, false);
        edited("content as number", [](auto &, QJsonObject &m, auto &) { m.insert("content", 3); }, false);
        edited("unknown status", [](auto &, auto &, QJsonObject &c) { c.insert("status", "Pending"); }, false);
        edited("numeric argument", [](auto &, auto &, QJsonObject &c) { c.insert("arguments", QJsonObject{{"n", 3}}); }, false);
        edited("override of wrong type", [](QJsonObject &s, auto &, auto &) { s.insert("systemPromptOverride", 1); }, false);
        edited("tool call id as number", [](auto &, auto &, QJsonObject &c) { c.insert("id", 7); }, false);
        // No date holds these: an error, never a wrapped-around time.
        edited("timestamp 7e30", [](auto &, QJsonObject &m, auto &) { m.insert("timestamp", 7e30); }, false);

        const QByteArray good = archiveWith([](auto &, auto &, auto &) {});
        QTest::newRow("truncated") << good.left(good.size() / 2) << false;
        QTest::newRow("not utf-8") << QByteArray("[\xff\xfe\x00]", 5) << false;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("one bad element of two") << QByteArray("[" + good.mid(1, good.size() - 2) + ",{\"id\":1}]") << false;
        for (const char *notJson : {"1e400", "+10.5", ".5", "0x10", "10,5"})
            QTest::addRow("timestamp %s", notJson) << QByteArray(good).replace("10.5", notJson) << false;
    }

    void decoding()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, decodes);
        QCOMPARE(ChatArchive::decode(bytes).has_value(), decodes);
    }

    // Large archives are decoded in slices; that decoder must agree with the one-pass reader on
    // every text, whatever falls on a slice boundary. Each row is an archive of four sessions
    // ("S") with its own separators, decoded small and large (past the size that splits).
    void slicedDecoderAgrees_data()
    {
        QTest::addColumn<QByteArray>("shape");
        QTest::addColumn<bool>("decodes");
        QTest::newRow("plain") << QByteArray("[S,S,S,S]") << true;
        QTest::newRow("JSON white space around") << QByteArray(" \n[ S ,\tS,\r\nS , S ]\n ") << true;
        QTest::newRow("missing comma at the middle") << QByteArray("[S,S S,S]") << false;
        QTest::newRow("double comma") << QByteArray("[S,S,,S,S]") << false;
        QTest::newRow("trailing comma") << QByteArray("[S,S,S,S,]") << false;
        QTest::newRow("text after the array") << QByteArray("[S,S,S,S]x") << false;
        QTest::newRow("number among sessions") << QByteArray("[S,S,1,S,S]") << false;
        QTest::newRow("bad last session") << QByteArray("[S,S,S,{\"id\":1}]") << false;
    }

    void slicedDecoderAgrees()
    {
        QFETCH(QByteArray, shape);
        QFETCH(bool, decodes);
        for (const int contentSize : {8, 1'200'000}) {
            QByteArray json;
            int index = 0;
            for (const char c : shape)
                json += c == 'S' ? sessionText(index++, contentSize) : QByteArray(1, c);
            const auto onePass = ArchiveReader(json.constBegin(), json.constEnd()).readArchive();
            QCOMPARE(onePass.has_value(), decodes);
            for (const auto &other : {ChatArchive::decode(json), ChatArchive::decodeInSlices(json, 2),
                                      ChatArchive::decodeInSlices(json, 3)}) {
                QCOMPARE(other.has_value(), decodes);
                if (decodes)
                    QCOMPARE(*other, *onePass);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestChatArchive)
#include "tst_chat_archive.moc"
