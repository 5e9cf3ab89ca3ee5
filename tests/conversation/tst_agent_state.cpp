#include "TestSupport.h"
#include "conversation/AgentState.h"
#include "conversation/ArchiveStore.h"
#include "conversation/ChatArchive.h"
#include "conversation/DefaultsStore.h"
#include "platform/AppPaths.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTest>
#include <csignal>
#include <sys/resource.h>

class TestAgentState : public QObject
{
    Q_OBJECT

    static QByteArray storedArchive()
    {
        QFile file(AppPaths::chatArchivePath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static QList<ChatSession> storedSessions()
    {
        return ChatArchive::decode(storedArchive()).value_or(QList<ChatSession>{});
    }

    static void typeUserMessage(AgentState &state, const QString &text)
    {
        state.appendMessage(Message::make(Roles::user, text));
        state.syncActiveSession();
        state.flush();
    }

private slots:
    void init() { TestSupport::resetUserData(); }

    // What a start reads from the stored settings: values that make no sense fall back to the
    // defaults, the prompts older versions stored as default give way to today's. A first start
    // with nothing stored writes nothing.
    void storedSettings()
    {
        const auto loaded = [](const QString &key) {
            AgentState state;
            return key == DefaultsKeys::systemPrompt ? QVariant(state.systemPrompt())
                 : key == DefaultsKeys::temperature  ? QVariant(state.temperature()) : QVariant(state.maxTokens());
        };
        QCOMPARE(loaded(DefaultsKeys::systemPrompt), QVariant(AgentState::defaultSystemPrompt));
        QCOMPARE(loaded(DefaultsKeys::temperature), QVariant(0.7));
        QCOMPARE(loaded(DefaultsKeys::maxTokens), QVariant(2048));
        QVERIFY(!QFile::exists(AppPaths::chatArchivePath()));
        QVERIFY(!DefaultsStore().contains(DefaultsKeys::systemPrompt));

        const QList<std::tuple<QString, QVariant, QVariant>> cases{
            {DefaultsKeys::systemPrompt, AgentState::legacyDefaultPrompts.value(0), AgentState::defaultSystemPrompt},
            {DefaultsKeys::systemPrompt, AgentState::legacyDefaultPrompts.value(1), AgentState::defaultSystemPrompt},
            {DefaultsKeys::systemPrompt, QString(), QString()}, {DefaultsKeys::systemPrompt, "Be brief.", "Be brief."},
            {DefaultsKeys::temperature, 0.0, 0.7}, {DefaultsKeys::temperature, "warm", 0.7},
            {DefaultsKeys::temperature, 1.3, 1.3}, {DefaultsKeys::maxTokens, 0, 2048}, {DefaultsKeys::maxTokens, 4096, 4096}};
        for (const auto &[key, stored, expected] : cases) {
            DefaultsStore().setValue(key, stored);
            QVERIFY2(loaded(key) == expected, qPrintable(key + QStringLiteral(" stored as ") + stored.toString()));
        }
    }

    // The title comes from the first user message once, unless the user named the chat; a blank
    // name is refused.
    void titles_data()
    {
        QTest::addColumn<QString>("rename");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("title");
        QTest::newRow("leading spaces, ten words")
            << QString() << "  one two three four five six seven eight nine ten" << "one two three four five six";
        QTest::newRow("forty characters, no space") << QString() << QString(40, 'x') << QString(40, 'x');
        QTest::newRow("line break stays inside a word") << QString() << "one two\nthree four" << "one two\nthree four";
        QTest::newRow("tab is no separator") << QString() << "a\tb c" << "a\tb c";
        QTest::newRow("blank name refused") << "   " << "hello there" << "hello there";
        QTest::newRow("own name kept as typed") << " Plans " << "hello there" << " Plans ";
    }

    void titles()
    {
        QFETCH(QString, rename);
        QFETCH(QString, text);
        QFETCH(QString, title);
        AgentState state;
        if (!rename.isNull())
            state.renameActiveSession(rename);
        typeUserMessage(state, text);
        typeUserMessage(state, QStringLiteral("something else entirely"));
        QCOMPARE(state.activeSession()->title, title);
        QCOMPARE(storedSessions().first().title, title);
    }

    // Pinning does not make a chat newer; unknown ids change nothing; after a restart the first
    // stored chat is the active one; deleting the only chat leaves a fresh one.
    void sessionsSurviveRestart()
    {
        QUuid older, newer;
        QDateTime updated;
        {
            AgentState state;
            typeUserMessage(state, QStringLiteral("older"));
            older = *state.activeSessionID();
            updated = state.activeSession()->updatedAt;
            state.newSession();
            typeUserMessage(state, QStringLiteral("newer"));
            newer = *state.activeSessionID();
            state.togglePin(older);
            state.deleteSession(QUuid::createUuid());
            state.selectSession(QUuid::createUuid());
            QCOMPARE(*state.activeSessionID(), newer);
            state.flush();
        }
        AgentState reloaded;
        const QList<ChatSession> sessions = reloaded.chatSessions();
        QCOMPARE(sessions.size(), 2);
        QCOMPARE(*reloaded.activeSessionID(), sessions.first().id);
        const ChatSession pinned = sessions.at(sessions.first().id == older ? 0 : 1);
        QCOMPARE(pinned.id, older);
        QVERIFY(pinned.isPinned);
        QCOMPARE(pinned.updatedAt.toMSecsSinceEpoch(), updated.toMSecsSinceEpoch());

        const QUuid other = sessions.last().id;
        reloaded.deleteSession(other); // not active: nothing else changes
        QCOMPARE(*reloaded.activeSessionID(), sessions.first().id);
        QCOMPARE(reloaded.messages().size(), 1);
        reloaded.deleteSession(sessions.first().id); // the only one, active
        QCOMPARE(reloaded.chatSessions().size(), 1);
        QCOMPARE(reloaded.activeSession()->title, QStringLiteral("New Chat"));
        QVERIFY(reloaded.messages().isEmpty());
        reloaded.flush();
        QCOMPARE(storedSessions().size(), 1);
        QVERIFY(storedSessions().first().id != older && storedSessions().first().id != newer);
    }

    // An archive that cannot be read is never replaced unless a copy of it is on disk; each
    // distinct content is copied once; without a copy nothing is written for the whole run.
    void unreadableArchiveIsKeptAside_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("obstacle"); // "", "folder at archive", "folder at copy"
        QTest::addColumn<bool>("copied");
        const QByteArray truncated("[{\"id\":\"6F9619FF-8B86-D011-B42D-00C04FC964FF\",\"ti");
        QTest::newRow("truncated") << truncated << QString() << true;
        QTest::newRow("not utf-8") << QByteArray("\xff\xfe\xfd garbage", 12) << QString() << true;
        QTest::newRow("wrong type") << QByteArray("[{\"id\":1}]") << QString() << true;
        QTest::newRow("cannot be opened") << QByteArray() << QStringLiteral("folder at archive") << false;
        QTest::newRow("copy cannot be written") << truncated << QStringLiteral("folder at copy") << false;
    }

    void unreadableArchiveIsKeptAside()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, obstacle);
        QFETCH(bool, copied);
        const QString path = AppPaths::chatArchivePath();
        const QString copyPath = ArchiveStore::recoveryCopyPath(path, bytes);
        if (obstacle == QLatin1String("folder at archive")) {
            QVERIFY(QDir().mkpath(path + QStringLiteral("/inside")));
        } else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        }
        if (obstacle == QLatin1String("folder at copy"))
            QVERIFY(QDir().mkpath(copyPath));

        for (int start = 0; start < 3; ++start) {
            AgentState state;
            QCOMPARE(state.chatSessions().size(), 1);
            QCOMPARE(state.noticeKind(), copied ? QStringLiteral("recovery") : QStringLiteral("readOnly"));
            QVERIFY(!state.noticeText().isEmpty());
            typeUserMessage(state, QStringLiteral("new life"));
            if (copied) {
                QCOMPARE(state.noticeText(), QStringLiteral("Your conversations could not be read. A copy was kept at %1.").arg(copyPath));
                QCOMPARE(state.noticeAction(), QStringLiteral("Show in folder"));
                QCOMPARE(storedSessions().size(), 1); // replaced only once the copy is on disk
                QVERIFY(!state.hasUnsavedChanges());
                state.dismissNotice();
                QCOMPARE(state.noticeKind(), QString());
                break; // the archive is readable from now on
            }
            // Read-only for the run: the conversation lives on in memory, the archive is untouched.
            QCOMPARE(state.messages().size(), 1);
            QVERIFY(state.hasUnsavedChanges());
            if (obstacle == QLatin1String("folder at archive"))
                QVERIFY(QFileInfo(path).isDir());
            else
                QCOMPARE(storedArchive(), bytes);
        }
        const QStringList copies = QDir(QFileInfo(path).absolutePath())
                                       .entryList({QStringLiteral("*.unreadable-*")}, QDir::Files);
        QCOMPARE(copies.size(), copied ? 1 : 0);
        if (copied) {
            QFile copy(copyPath);
            QVERIFY2(copy.open(QIODevice::ReadOnly), qPrintable(copyPath));
            QCOMPARE(copy.readAll(), bytes);
        }
    }

    // A save that fails (here: the file may not grow, as on a full disk) keeps the archive
    // already on disk whole, says why until a save succeeds, and Retry saves again.
    void failedSaveKeepsTheArchiveUntilASaveSucceeds()
    {
        AgentState state;
        typeUserMessage(state, QStringLiteral("already saved"));
        const QByteArray before = storedArchive();
        QVERIFY(!before.isEmpty());

        rlimit limit{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &limit), 0);
        const rlimit unlimited = limit;
        const auto restore = qScopeGuard([&] { setrlimit(RLIMIT_FSIZE, &unlimited); });
        std::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails instead of ending the test
        limit.rlim_cur = rlim_t(before.size());
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);

        typeUserMessage(state, QStringLiteral("not on disk yet"));
        QTRY_COMPARE(state.noticeKind(), QStringLiteral("saveFailed"));
        QVERIFY2(state.noticeText().startsWith(QStringLiteral("Conversations could not be saved: ")),
                 qPrintable(state.noticeText()));
        QCOMPARE(state.noticeAction(), QStringLiteral("Retry"));
        QVERIFY(state.hasUnsavedChanges());
        state.dismissNotice();
        QCOMPARE(state.noticeKind(), QStringLiteral("saveFailed"));
        QCOMPARE(storedArchive(), before);
        QCOMPARE(QDir(QFileInfo(AppPaths::chatArchivePath()).path()).entryList(QDir::Files).size(), 1);

        QCOMPARE(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
        state.performNoticeAction();
        state.flush();
        QTRY_COMPARE(state.noticeKind(), QString());
        QVERIFY(!state.hasUnsavedChanges());
        QCOMPARE(storedSessions().first().messages.last().content, QStringLiteral("not on disk yet"));
    }

    // While a reply is written into it, nothing may cut or clear the conversation.
    void conversationIsKeptWhileATurnRuns()
    {
        AgentState state;
        typeUserMessage(state, QStringLiteral("question"));
        state.appendMessage(Message::make(Roles::assistant, QString()));
        state.setIsLoading(true);
        QVERIFY(!state.changeBlockedReason().isEmpty());
        QVERIFY(!state.truncateMessages(0));
        state.clearAllChats();
        state.resetAllData();
        state.newSession();
        QCOMPARE(state.messages().size(), 2);
        QCOMPARE(state.chatSessions().size(), 1);
        state.setIsLoading(false);
        QVERIFY(state.truncateMessages(0));
        QVERIFY(state.activeSession()->messages.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAgentState)
#include "tst_agent_state.moc"
