#include "ChatTransfer.h"
#include "TestSupport.h"
#include "conversation/AgentState.h"
#include "conversation/ChatArchive.h"

#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
// Two stored conversations with a few messages; the second one is open.
std::unique_ptr<AgentState> twoChats()
{
    auto state = std::make_unique<AgentState>();
    state->appendMessage(Message::make(Roles::user, u"first chat question"_s));
    state->syncActiveSession();
    state->newSession();
    state->appendMessage(Message::make(Roles::user, u"second chat question"_s));
    state->appendMessage(Message::make(Roles::assistant, u"an answer"_s));
    state->syncActiveSession();
    return state;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Each conversation as the user sees it: its title, then each message's role and text.
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

    // Importing appends copies after the stored chats, each its own (deleting one leaves the
    // others), never touches the open one, and what was imported is what the next start loads.
    void roundTripAppendsWithoutTouchingTheOpenChat()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(ChatTransfer::defaultFileName);
        auto state = twoChats();
        const QList<ChatSession> before = state->chatSessions();
        const auto active = state->activeSessionID();
        const QList<Message> activeMessages = state->messages();

        const ChatTransfer::Outcome exported = ChatTransfer::exportChats(*state, file);
        QVERIFY(exported.ok);
        QCOMPARE(exported.message, u"Exported 2 conversations to "_s + file);
        for (int i = 0; i < 2; ++i) {
            const ChatTransfer::Outcome imported = ChatTransfer::importChats(*state, file);
            QVERIFY(imported.ok);
            QCOMPARE(imported.message, u"Imported 2 conversations"_s);
        }
        const QList<ChatSession> after = state->chatSessions();
        QCOMPARE(contents(after), contents(before) + contents(before) + contents(before));
        QSet<QUuid> ids;
        for (const ChatSession &session : after)
            ids.insert(session.id);
        QCOMPARE(ids.size(), after.size());
        QCOMPARE(state->activeSessionID(), active);
        QCOMPARE(state->messages(), activeMessages);
        state->deleteSession(after.at(2).id);
        QCOMPARE(contents(state->chatSessions()), contents(before) + contents(before).mid(1) + contents(before));
        state->flush();
        QCOMPARE(contents(AgentState().chatSessions()), contents(state->chatSessions()));
    }

    // Two conversations of one file with the same id stay two: deleting one leaves the other.
    void duplicateIdsInsideTheFileStayApart()
    {
        QTemporaryDir dir;
        ChatSession one = ChatSession::make();
        one.title = u"one"_s;
        ChatSession two = one;
        two.title = u"two"_s;
        writeFile(dir.filePath(u"dupes.json"_s), ChatArchive::encode({one, two}));
        AgentState state;
        QVERIFY(ChatTransfer::importChats(state, dir.filePath(u"dupes.json"_s)).ok);
        QVERIFY(state.chatSessions().at(1).id != state.chatSessions().at(2).id);
        state.deleteSession(one.id);
        QCOMPARE(contents(state.chatSessions()), (QStringList{"New Chat", "two"}));
    }

    void badImportsChangeNothing_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qint64>("sparseSize");  // -1: no file at all
        QTest::addColumn<QString>("message");    // what the user is told; a "(" ends a prefix
        const QByteArray archive = ChatArchive::encode({ChatSession::make(), ChatSession::make()});
        const QString notExport = u"Not a Morlo AI chat export: "_s;
        QTest::newRow("not an archive") << QByteArray("hello, this is a letter") << qint64(0)
                                        << notExport + "the file is not JSON (illegal value at byte 1).";
        QTest::newRow("an object, not a list") << QByteArray(R"({"id":"x"})") << qint64(0)
                                               << notExport + "the file holds no list of conversations.";
        QTest::newRow("truncated") << archive.left(archive.size() / 2) << qint64(0) << notExport + "the file is not JSON (";
        QTest::newRow("a session without its id") << QByteArray(R"([{"title":"x"}])") << qint64(0)
                                                  << notExport + "a conversation in the file is incomplete or damaged.";
        QTest::newRow("empty file") << QByteArray() << qint64(0) << notExport + "the file is empty.";
        QTest::newRow("empty list") << QByteArray("[]") << qint64(0) << notExport + "the file holds no conversations.";
        QTest::newRow("200 MB") << QByteArray("[") << qint64(200) * 1024 * 1024 << notExport + "the file is larger than 128 MB.";
        QTest::newRow("missing file") << QByteArray() << qint64(-1) << u"Could not read %1: the file does not exist."_s;
    }

    void badImportsChangeNothing()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(qint64, sparseSize);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString file = dir.filePath(u"import.json"_s);
        if (sparseSize >= 0)
            writeFile(file, bytes);
        if (sparseSize > 0)
            QVERIFY(QFile::resize(file, sparseSize));
        auto state = twoChats();
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

    void exportTargets_data()
    {
        QTest::addColumn<QString>("relativePath");
        QTest::addColumn<QString>("written");  // the file made, or empty when the export must fail
        QTest::newRow("new folders are made") << "no/such/folder/mine.json" << "no/such/folder/mine.json";
        QTest::newRow("a folder gets the default name") << "a-folder" << "a-folder/MorloAI_chats.json";
        QTest::newRow("folder is a file") << "plain-file/MorloAI_chats.json" << "";
    }

    void exportTargets()
    {
        QFETCH(QString, relativePath);
        QFETCH(QString, written);
        QTemporaryDir dir;
        writeFile(dir.filePath(u"plain-file"_s), "keep me");
        QVERIFY(QDir(dir.path()).mkdir(u"a-folder"_s));
        auto state = twoChats();
        const QByteArray before = ChatArchive::encode(state->chatSessions());

        const ChatTransfer::Outcome outcome = ChatTransfer::exportChats(*state, dir.filePath(relativePath));
        QCOMPARE(outcome.ok, !written.isEmpty());
        if (written.isEmpty())
            QVERIFY2(outcome.message.startsWith(u"Could not write "_s + dir.filePath(relativePath) + u": "_s),
                     qPrintable(outcome.message));
        else
            QCOMPARE(readFile(dir.filePath(written)), before);
        QCOMPARE(ChatArchive::encode(state->chatSessions()), before);
        QCOMPARE(readFile(dir.filePath(u"plain-file"_s)), QByteArray("keep me"));
    }

    // The dialogs start in the documents folder only where the user has one.
    void defaultFolderOnAFreshAccount()
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
};

QTEST_GUILESS_MAIN(TestChatTransfer)
#include "tst_chat_transfer.moc"
