#include "conversation/ArchiveReader.h"
#include "conversation/ChatArchive.h"
#include "conversation/Identifiers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QTimeZone>
#include <clocale>

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
        // No date holds these: an error, never a wrapped-around time.
        QTest::newRow("timestamp 7e30") << Edit([](auto &, QJsonObject &m, auto &) { m.insert("timestamp", 7e30); }) << false;
        QTest::newRow("createdAt -7e30") << Edit([](QJsonObject &s, auto &, auto &) { s.insert("createdAt", -7e30); }) << false;
        QTest::newRow("timestamp 3000 years on") << Edit([](auto &, QJsonObject &m, auto &) { m.insert("timestamp", 9.4e10); }) << true;
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
        QByteArray number = good;
        number.replace("10.5", "1e400");
        QTest::newRow("timestamp beyond a double") << number;
        for (const char *notJson : {"+10.5", ".5", "10.", "0x10", "1e", "10,5", "-"}) {
            number = good;
            number.replace("10.5", notJson);
            QTest::newRow(qPrintable(QStringLiteral("timestamp %1").arg(QLatin1String(notJson)))) << number;
        }
    }

    void brokenInputFailsWithoutCrashing()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(!ChatArchive::decode(bytes).has_value());
    }

    // Files written on a comma-decimal desktop read on a point-decimal one and back: numbers in
    // the archive never follow the user's locale.
    void readsUnderEveryLocale_data()
    {
        QTest::addColumn<QByteArray>("writer");
        QTest::addColumn<QByteArray>("reader");
        const QList<QByteArray> locales{"de_DE.UTF-8", "fr_FR.UTF-8", "C.UTF-8"};
        for (const QByteArray &writer : locales)
            for (const QByteArray &reader : locales)
                QTest::newRow(writer + " to " + reader) << writer << reader;
    }

    void readsUnderEveryLocale()
    {
        QFETCH(QByteArray, writer);
        QFETCH(QByteArray, reader);
        const QByteArray before = std::setlocale(LC_ALL, nullptr);
        const auto restore = qScopeGuard([&] { std::setlocale(LC_ALL, before.constData()); });
        QVERIFY2(std::setlocale(LC_ALL, writer.constData()), writer.constData());
        ChatSession session = ChatSession::make();
        session.createdAt = QDateTime(QDate(2024, 3, 5), QTime(14, 30, 15, 250), QTimeZone::utc());
        session.messages = {Message::make(Roles::user, QStringLiteral("hi"))};
        session.messages[0].timestamp = QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59, 125), QTimeZone::utc());
        const QByteArray bytes = ChatArchive::encode({session});

        QVERIFY2(std::setlocale(LC_ALL, reader.constData()), reader.constData());
        const auto decoded = ChatArchive::decode(bytes);
        QVERIFY(decoded);
        QCOMPARE(decoded->first().createdAt.toMSecsSinceEpoch(), session.createdAt.toMSecsSinceEpoch());
        QCOMPARE(decoded->first().messages.first().timestamp.toMSecsSinceEpoch(),
                 session.messages.first().timestamp.toMSecsSinceEpoch());
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
        QTest::newRow("missing comma at the start") << QByteArray("[S S,S,S]") << false;
        QTest::newRow("leading comma") << QByteArray("[,S,S,S,S]") << false;
        QTest::newRow("double comma") << QByteArray("[S,S,,S,S]") << false;
        QTest::newRow("trailing comma") << QByteArray("[S,S,S,S,]") << false;
        QTest::newRow("leading form feed") << QByteArray("\f[S,S,S,S]") << false;
        QTest::newRow("form feed between") << QByteArray("[S,S,\fS,S]") << false;
        QTest::newRow("semicolon") << QByteArray("[S,S;S,S]") << false;
        QTest::newRow("text after the array") << QByteArray("[S,S,S,S]x") << false;
        QTest::newRow("second closing bracket") << QByteArray("[S,S,S,S]]") << false;
        QTest::newRow("unterminated") << QByteArray("[S,S,S,S") << false;
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
            const QList<std::optional<QList<ChatSession>>> others{
                ChatArchive::decode(json), ChatArchive::decodeInSlices(json, 2), ChatArchive::decodeInSlices(json, 3)};
            for (const auto &other : others) {
                QCOMPARE(other.has_value(), decodes);
                if (!decodes)
                    continue;
                QCOMPARE(other->size(), onePass->size());
                for (int i = 0; i < other->size(); ++i)
                    QCOMPARE(other->at(i).messages.first().content, onePass->at(i).messages.first().content);
            }
        }
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
