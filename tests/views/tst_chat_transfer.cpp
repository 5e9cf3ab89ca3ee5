#include "ChatTransfer.h"
#include "TestSupport.h"
#include "conversation/AgentState.h"
#include "conversation/ChatArchive.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
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
    void exportTargets_data();
    void exportTargets();
    void defaultFolderOnAFreshAccount();
};

void TestChatTransfer::roundTripAppendsWithoutTouchingTheActiveChat()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(ChatTransfer::defaultFileName);
    auto state = storeWithTwoChats();
    const QList<ChatSession> before = state->chatSessions();
    const auto active = state->activeSessionID();
    const QList<Message> activeMessages = state->messages();

    const ChatTransfer::Outcome exported = ChatTransfer::exportChats(*state, file);
    QVERIFY(exported.ok);
    QCOMPARE(exported.message, QStringLiteral("Exported 2 conversations to ") + file);
    for (int i = 0; i < 2; ++i) {
        const ChatTransfer::Outcome imported = ChatTransfer::importChats(*state, file);
        QVERIFY(imported.ok);
        QCOMPARE(imported.message, QStringLiteral("Imported 2 conversations"));
    }

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
    QVERIFY(ChatTransfer::importChats(state, file).ok);
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
    QTest::addColumn<QString>("message"); // what the user is told, after the file's path
    const QByteArray archive = ChatArchive::encode({ChatSession::make(), ChatSession::make()});
    const QString notExport = QStringLiteral("Not a Morlo AI chat export: ");
    QTest::newRow("not an archive") << QByteArray("hello, this is a letter") << qint64(0)
                                    << notExport + "the file is not JSON (illegal value at byte 1).";
    QTest::newRow("an object, not a list") << QByteArray(R"({"id":"x"})") << qint64(0)
                                           << notExport + "the file holds no list of conversations.";
    QTest::newRow("truncated") << archive.left(archive.size() / 2) << qint64(0)
                               << notExport + "the file is not JSON (";  // the parser's words follow
    QTest::newRow("a session without its id") << QByteArray(R"([{"title":"x"}])") << qint64(0)
                                              << notExport + "a conversation in the file is incomplete or damaged.";
    QTest::newRow("empty file") << QByteArray() << qint64(0) << notExport + "the file is empty.";
    QTest::newRow("empty list") << QByteArray("[]") << qint64(0) << notExport + "the file holds no conversations.";
    QTest::newRow("200 MB") << QByteArray("[") << qint64(200) * 1024 * 1024
                            << notExport + "the file is larger than 128 MB.";
    QTest::newRow("missing file") << QByteArray() << qint64(-1)
                                  << QStringLiteral("Could not read %1: the file does not exist.");
}

void TestChatTransfer::badImportsChangeNothing()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, sparseSize);
    QFETCH(QString, message);
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

    const ChatTransfer::Outcome outcome = ChatTransfer::importChats(*state, file);
    QVERIFY(!outcome.ok);
    if (message.endsWith(u'('))
        QVERIFY2(outcome.message.startsWith(message), qPrintable(outcome.message));
    else
        QCOMPARE(outcome.message, message.contains(u'%') ? message.arg(file) : message);
    QCOMPARE(ChatArchive::encode(state->chatSessions()), before);
    QCOMPARE(state->activeSessionID(), active);
}

void TestChatTransfer::exportTargets_data()
{
    QTest::addColumn<QString>("relativePath");
    QTest::addColumn<QString>("written"); // the file made, or empty when the export must fail
    QTest::newRow("new folders are made") << "no/such/folder/mine.json" << "no/such/folder/mine.json";
    QTest::newRow("a folder gets the default name") << "a-folder" << "a-folder/MorloAI_chats.json";
    QTest::newRow("folder is a file") << "plain-file/MorloAI_chats.json" << "";
}

void TestChatTransfer::exportTargets()
{
    QFETCH(QString, relativePath);
    QFETCH(QString, written);
    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("plain-file")), "keep me");
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("a-folder")));
    auto state = storeWithTwoChats();
    const QByteArray before = ChatArchive::encode(state->chatSessions());

    const ChatTransfer::Outcome outcome = ChatTransfer::exportChats(*state, dir.filePath(relativePath));
    QCOMPARE(outcome.ok, !written.isEmpty());
    if (written.isEmpty()) {
        QCOMPARE(outcome.message.left(outcome.message.indexOf(u':', 17)),
                 QStringLiteral("Could not write ") + dir.filePath(relativePath));
    } else {
        QFile file(dir.filePath(written));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
    }
    QCOMPARE(ChatArchive::encode(state->chatSessions()), before);
    QFile kept(dir.filePath(QStringLiteral("plain-file")));
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("keep me"));
}

// The dialogs start in the documents folder only where the user has one.
void TestChatTransfer::defaultFolderOnAFreshAccount()
{
    // Only ever under the private home the test runner gives each test.
    QVERIFY(QDir::homePath().startsWith(qEnvironmentVariable("MORLO_TEST_BINARY_DIR")));
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    QDir(documents).removeRecursively();
    QCOMPARE(ChatTransfer::defaultFolder().toLocalFile(), QDir::homePath());
    QCOMPARE(ChatTransfer::defaultExportFile().toLocalFile(), QDir::home().filePath(ChatTransfer::defaultFileName));
    QVERIFY(QDir().mkpath(documents));
    QCOMPARE(ChatTransfer::defaultFolder().toLocalFile(), documents);
    QDir(documents).removeRecursively();
}

QTEST_GUILESS_MAIN(TestChatTransfer)
#include "tst_chat_transfer.moc"
