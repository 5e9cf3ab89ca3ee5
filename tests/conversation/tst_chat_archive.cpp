#include "conversation/ChatArchive.h"
#include "conversation/Identifiers.h"

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
QByteArray archiveWith(const std::function<void(QJsonObject &, QJsonObject &, QJsonObject &)> &edit)
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

} // namespace

class TestChatArchive : public QObject
{
    Q_OBJECT

private slots:
    void roundTripKeepsEveryField()
    {
        ToolCall call = ToolCall::make(QStringLiteral("write_file"), {{"path", "/tmp/a b"}, {"content", "x\ny"}});
        call.status = ToolStatus::denied;
        call.result = QStringLiteral("done");
        ChatSession session = ChatSession::make();
        session.title = QStringLiteral("Émoji 🎉 — \"quoted\"");
        session.isPinned = true;
        session.systemPromptOverride = QString(); // present but empty
        session.messages = {Message::make(Roles::user, QStringLiteral("hello / world")),
                            Message::make(Roles::assistant, QString(), QList<ToolCall>{call}),
                            Message::make(Roles::toolResult, QStringLiteral("Tool results:\n[x]: y"), QList<ToolCall>{})};

        const auto decoded = ChatArchive::decode(ChatArchive::encode({session, ChatSession::make()}));
        QVERIFY(decoded);
        QCOMPARE(decoded->size(), 2);
        const ChatSession &back = decoded->first();
        QCOMPARE(back.id, session.id);
        QCOMPARE(back.title, session.title);
        QCOMPARE(back.isPinned, true);
        QCOMPARE(back.systemPromptOverride, std::optional<QString>(QString()));
        QCOMPARE(back.messages.size(), 3);
        QCOMPARE(back.messages[1].toolCalls->first(), call);
        QVERIFY(!back.messages[0].toolCalls.has_value());
        QVERIFY(back.messages[2].toolCalls.has_value()); // empty list stays present
        QVERIFY(back.messages[2].toolCalls->isEmpty());
        QCOMPARE(back.createdAt.toMSecsSinceEpoch(), session.createdAt.toMSecsSinceEpoch());
        QVERIFY(!decoded->at(1).systemPromptOverride.has_value());
    }

    void encodesTheStoredForm()
    {
        Message message = Message::make(Roles::user, QStringLiteral("hi"));
        message.timestamp = QDateTime(QDate(2001, 1, 1), QTime(0, 1), QTimeZone::utc());
        const QJsonObject object = ChatArchive::encodeMessage(message);
        QCOMPARE(object.keys(), (QStringList{"content", "id", "role", "timestamp"}));
        QCOMPARE(object.value("timestamp").toDouble(), 60.0);
        const QString id = object.value("id").toString();
        QCOMPARE(id, id.toUpper());
        QCOMPARE(id.size(), 36);

        const QJsonObject call = ChatArchive::encodeToolCall(ToolCall::make("get_clipboard", {}));
        QVERIFY(!call.contains("result"));
        QCOMPARE(call.value("status").toString(), QStringLiteral("pending"));

        const QJsonObject session = ChatArchive::encodeSession(ChatSession::make());
        QVERIFY(!session.contains("systemPromptOverride"));
        QVERIFY(session.value("isPinned").isBool());
        const QByteArray compact = ChatArchive::encode({ChatSession::make()});
        QVERIFY(!compact.contains('\n') && !compact.contains("\": ") && !compact.contains(", \""));
    }

    void decodingRules_data()
    {
        using Edit = std::function<void(QJsonObject &, QJsonObject &, QJsonObject &)>;
        QTest::addColumn<Edit>("edit");
        QTest::addColumn<bool>("decodes");

        QTest::newRow("valid") << Edit([](auto &, auto &, auto &) {}) << true;
        QTest::newRow("null optionals are absent") << Edit([](QJsonObject &s, QJsonObject &, QJsonObject &c) {
            s.insert("systemPromptOverride", QJsonValue::Null);
            c.insert("result", QJsonValue::Null);
        }) << true;
        QTest::newRow("unknown members ignored") << Edit([](QJsonObject &s, QJsonObject &m, QJsonObject &) {
            s.insert("colour", "blue");
            m.insert("extra", 1);
        }) << true;
        QTest::newRow("lower-case uuid accepted") << Edit([](QJsonObject &s, auto &, auto &) {
            s.insert("id", sessionId.toLower());
        }) << true;
        QTest::newRow("missing isPinned") << Edit([](QJsonObject &s, auto &, auto &) { s.remove("isPinned"); }) << false;
        QTest::newRow("isPinned as number") << Edit([](QJsonObject &s, auto &, auto &) { s.insert("isPinned", 0); }) << false;
        QTest::newRow("bad session uuid") << Edit([](QJsonObject &s, auto &, auto &) { s.insert("id", "not-a-uuid"); }) << false;
        QTest::newRow("braced uuid") << Edit([](QJsonObject &s, auto &, auto &) { s.insert("id", "{" + sessionId + "}"); }) << false;
        QTest::newRow("date as ISO text") << Edit([](QJsonObject &s, auto &, auto &) { s.insert("createdAt", "2024-01-01T00:00:00Z"); }) << false;
        QTest::newRow("missing message role") << Edit([](auto &, QJsonObject &m, auto &) { m.remove("role"); }) << false;
        QTest::newRow("content as number") << Edit([](auto &, QJsonObject &m, auto &) { m.insert("content", 3); }) << false;
        QTest::newRow("unknown status") << Edit([](auto &, auto &, QJsonObject &c) { c.insert("status", "Pending"); }) << false;
        QTest::newRow("numeric argument") << Edit([](auto &, auto &, QJsonObject &c) {
            c.insert("arguments", QJsonObject{{"count", 3}});
        }) << false;
        QTest::newRow("override of wrong type") << Edit([](QJsonObject &s, auto &, auto &) { s.insert("systemPromptOverride", 1); }) << false;
        QTest::newRow("tool call id as number") << Edit([](auto &, auto &, QJsonObject &c) { c.insert("id", 7); }) << false;
    }

    void decodingRules()
    {
        QFETCH(std::function<void(QJsonObject &, QJsonObject &, QJsonObject &)>, edit);
        QFETCH(bool, decodes);
        QCOMPARE(ChatArchive::decode(archiveWith(edit)).has_value(), decodes);
    }

    void decodedValues()
    {
        const auto sessions = ChatArchive::decode(archiveWith([](QJsonObject &, QJsonObject &, QJsonObject &c) {
            c.insert("status", "denied");
        }));
        QVERIFY(sessions);
        const ChatSession &s = sessions->first();
        QCOMPARE(s.createdAt.toUTC(), QDateTime(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc()));
        QCOMPARE(s.messages.first().timestamp.toUTC(), QDateTime(QDate(2001, 1, 1), QTime(0, 0, 10, 500), QTimeZone::utc()));
        QCOMPARE(s.messages.first().toolCalls->first().status, ToolStatus::denied);
        QVERIFY(!s.messages.first().toolCalls->first().result.has_value());
    }

    void brokenInputFailsWithoutCrashing_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray good = archiveWith([](auto &, auto &, auto &) {});
        QTest::newRow("truncated") << good.left(good.size() / 2);
        QTest::newRow("object instead of array") << QByteArray("{}");
        QTest::newRow("not utf-8") << QByteArray("[\xff\xfe\x00]", 5);
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("one bad element of two") << QByteArray("[" + good.mid(1, good.size() - 2) + ",{\"id\":1}]");
    }

    void brokenInputFailsWithoutCrashing()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(!ChatArchive::decode(bytes).has_value());
    }

    void emptyArchiveIsValid()
    {
        const auto sessions = ChatArchive::decode("[]");
        QVERIFY(sessions);
        QVERIFY(sessions->isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestChatArchive)
#include "tst_chat_archive.moc"
