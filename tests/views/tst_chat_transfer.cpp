#include "ChatTransfer.h"
#include "TestSupport.h"
#include "conversation/AgentState.h"
#include "conversation/ChatArchive.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

// A store holding two conversations with a few messages; the second one is active.
std::unique_ptr<AgentState> storeWithTwoChats()
{
    auto state = std::make_unique<AgentState>();
    state->appendMessage(Message::make(Roles::user, QStringLiteral("first chat question")));
    state->syncActiveSession();
    state->newSession();
    state->appendMessage(Message::make(Roles::user, QStringLiteral("second chat question")));
    state->appendMessage(Message::make(Roles::assistant, QStringLiteral("an answer")));
    state->syncActiveSession();
    return state;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QStringList contents(const QList<ChatSession> &sessions)
{
    QStringList out;
    for (const ChatSession &session : sessions) {
        QStringList lines{session.title};
        for (const Message &message : session.messages)
            lines << message.role + u':' + message.content;
        out << lines.join(u'|');
    }
    return out;
}

} // namespace

class TestChatTransfer : public QObject
{
    Q_OBJECT

private slots:
    void init() { TestSupport::resetUserData(); }

    void roundTripAppendsWithoutTouchingTheActiveChat();
    void duplicateIdsInsideTheFileStayApart();
    void badImportsChangeNothing_data();
    void badImportsChangeNothing();
    void unwritableExportFolder_data();
    void unwritableExportFolder();
};

void TestChatTransfer::roundTripAppendsWithoutTouchingTheActiveChat()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(ChatTransfer::defaultFileName);
    auto state = storeWithTwoChats();
    const QList<ChatSession> before = state->chatSessions();
    const auto active = state->activeSessionID();
    const QList<Message> activeMessages = state->messages();

    QCOMPARE(ChatTransfer::exportChats(*state, file), QString());
    QVERIFY(ChatTransfer::importChats(*state, file));
    QVERIFY(ChatTransfer::importChats(*state, file));

    // Importing the same file twice doubles the stored chats, in file order after the old ones.
    const QList<ChatSession> after = state->chatSessions();
    QCOMPARE(contents(after), contents(before) + contents(before) + contents(before));
    QSet<QUuid> ids;
    for (const ChatSession &session : after)
        ids.insert(session.id);
    QCOMPARE(ids.size(), after.size());
    QCOMPARE(state->activeSessionID(), active);
    QCOMPARE(state->messages(), activeMessages);

    // What was imported is what a new start loads.
    state->flush();
    AgentState reloaded;
    QCOMPARE(contents(reloaded.chatSessions()), contents(after));
}

void TestChatTransfer::duplicateIdsInsideTheFileStayApart()
{
    QTemporaryDir dir;
    ChatSession a = ChatSession::make();
    a.title = QStringLiteral("one");
    ChatSession b = a;
    b.title = QStringLiteral("two");
    const QString file = dir.filePath(QStringLiteral("dupes.json"));
    writeFile(file, ChatArchive::encode({a, b}));

    AgentState state;
    const QUuid ownId = state.chatSessions().first().id;
    QVERIFY(ChatTransfer::importChats(state, file));
    QCOMPARE(state.sessionCount(), 3);
    QCOMPARE(state.chatSessions().at(1).title, QStringLiteral("one"));
    QCOMPARE(state.chatSessions().at(1).id, a.id);
    QCOMPARE(state.chatSessions().at(2).title, QStringLiteral("two"));
    QVERIFY(state.chatSessions().at(2).id != a.id);

    // Deleting one copy leaves the other.
    state.deleteSession(a.id);
    QCOMPARE(state.sessionCount(), 2);
    QCOMPARE(state.chatSessions().first().id, ownId);
}

void TestChatTransfer::badImportsChangeNothing_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("sparseSize");
    const QByteArray archive = ChatArchive::encode({ChatSession::make(), ChatSession::make()});
    QTest::newRow("not an archive") << QByteArray("hello, this is a letter") << qint64(0);
    QTest::newRow("an object, not a list") << QByteArray(R"({"id":"x"})") << qint64(0);
    QTest::newRow("truncated") << archive.left(archive.size() / 2) << qint64(0);
    QTest::newRow("empty file") << QByteArray() << qint64(0);
    QTest::newRow("empty list") << QByteArray("[]") << qint64(0);
    QTest::newRow("200 MB") << QByteArray("[") << qint64(200) * 1024 * 1024;
    QTest::newRow("missing file") << QByteArray() << qint64(-1);
}

void TestChatTransfer::badImportsChangeNothing()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, sparseSize);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("import.json"));
    if (sparseSize >= 0) {
        writeFile(file, bytes);
        if (sparseSize > 0)
            QVERIFY(QFile::resize(file, sparseSize));
    }
    auto state = storeWithTwoChats();
    const QByteArray before = ChatArchive::encode(state->chatSessions());
    const auto active = state->activeSessionID();

    QVERIFY(!ChatTransfer::importChats(*state, file));
    QCOMPARE(ChatArchive::encode(state->chatSessions()), before);
    QCOMPARE(state->activeSessionID(), active);
}

void TestChatTransfer::unwritableExportFolder_data()
{
    QTest::addColumn<QString>("relativePath");
    QTest::newRow("folder is a file") << "plain-file/MorloAI_chats.json";
    QTest::newRow("folder missing") << "no/such/folder/MorloAI_chats.json";
    QTest::newRow("target is a folder") << "a-folder";
}

void TestChatTransfer::unwritableExportFolder()
{
    QFETCH(QString, relativePath);
    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("plain-file")), "keep me");
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("a-folder")));
    auto state = storeWithTwoChats();
    const QByteArray before = ChatArchive::encode(state->chatSessions());

    const QString message = ChatTransfer::exportChats(*state, dir.filePath(relativePath));
    QVERIFY(message.startsWith(QStringLiteral("Could not write ")));
    QCOMPARE(ChatArchive::encode(state->chatSessions()), before);
    QFile kept(dir.filePath(QStringLiteral("plain-file")));
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("keep me"));
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("a-folder"))).isDir());
}

QTEST_GUILESS_MAIN(TestChatTransfer)
#include "tst_chat_transfer.moc"
