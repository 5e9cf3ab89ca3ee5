#include "TestSupport.h"
#include "conversation/AgentState.h"
#include "conversation/ArchiveStore.h"
#include "conversation/ChatArchive.h"
#include "conversation/DefaultsStore.h"
#include "conversation/MessageListModel.h"
#include "platform/AppPaths.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QSignalSpy>
#include <QTest>
#include <qcorotask.h>

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

    void firstStartWritesNothing()
    {
        {
            AgentState state;
            QCOMPARE(state.chatSessions().size(), 1);
            QCOMPARE(state.activeSession()->title, QStringLiteral("New Chat"));
            QVERIFY(state.messages().isEmpty());
            QCOMPARE(state.temperature(), 0.7);
            QCOMPARE(state.maxTokens(), 2048);
            QCOMPARE(state.systemPrompt(), AgentState::defaultSystemPrompt);
        }
        QVERIFY(!QFile::exists(AppPaths::chatArchivePath()));
        QVERIFY(DefaultsStore().value(DefaultsKeys::systemPrompt).isNull());
    }

    void loadsStoredSettings_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QVariant>("loaded");
        QTest::newRow("legacy prompt 1") << DefaultsKeys::systemPrompt << QVariant(AgentState::legacyDefaultPrompts[0]) << QVariant(AgentState::defaultSystemPrompt);
        QTest::newRow("legacy prompt 2") << DefaultsKeys::systemPrompt << QVariant(AgentState::legacyDefaultPrompts[1]) << QVariant(AgentState::defaultSystemPrompt);
        QTest::newRow("empty prompt") << DefaultsKeys::systemPrompt << QVariant(QString()) << QVariant(QString());
        QTest::newRow("own prompt") << DefaultsKeys::systemPrompt << QVariant("Be brief.") << QVariant("Be brief.");
        QTest::newRow("temperature 0") << DefaultsKeys::temperature << QVariant(0.0) << QVariant(0.7);
        QTest::newRow("temperature negative") << DefaultsKeys::temperature << QVariant(-1.0) << QVariant(0.7);
        QTest::newRow("temperature 1.3") << DefaultsKeys::temperature << QVariant(1.3) << QVariant(1.3);
        QTest::newRow("temperature as text") << DefaultsKeys::temperature << QVariant("warm") << QVariant(0.7);
        QTest::newRow("maxTokens 0") << DefaultsKeys::maxTokens << QVariant(0) << QVariant(2048);
        QTest::newRow("maxTokens 4096") << DefaultsKeys::maxTokens << QVariant(4096) << QVariant(4096);
    }

    void loadsStoredSettings()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, stored);
        QFETCH(QVariant, loaded);
        DefaultsStore().setValue(key, stored);
        AgentState state;
        const QVariant actual = key == DefaultsKeys::systemPrompt ? QVariant(state.systemPrompt())
                              : key == DefaultsKeys::temperature  ? QVariant(state.temperature())
                                                                  : QVariant(state.maxTokens());
        QCOMPARE(actual, loaded);
    }

    void titleFromFirstUserMessage_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("title");
        QTest::newRow("leading spaces, ten words") << "  one two three four five six seven eight nine ten" << "one two three four five six";
        QTest::newRow("runs of spaces") << "a    b  c" << "a b c";
        QTest::newRow("forty characters, no space") << QString(40, QLatin1Char('x')) << QString(40, QLatin1Char('x'));
        QTest::newRow("line break stays inside a word") << "one two\nthree four" << "one two\nthree four";
        QTest::newRow("tab is no separator") << "a\tb c" << "a\tb c";
    }

    void titleFromFirstUserMessage()
    {
        QFETCH(QString, text);
        QFETCH(QString, title);
        AgentState state;
        typeUserMessage(state, text);
        QCOMPARE(state.activeSession()->title, title);
        QCOMPARE(storedSessions().first().title, title);
        // Derived once: a later message does not change it.
        typeUserMessage(state, QStringLiteral("something else entirely"));
        QCOMPARE(state.activeSession()->title, title);
    }

    void renameRules()
    {
        AgentState state;
        state.renameActiveSession(QStringLiteral("   "));
        state.flush();
        QCOMPARE(state.activeSession()->title, QStringLiteral("New Chat"));
        QVERIFY(!QFile::exists(AppPaths::chatArchivePath())); // refused: nothing saved
        state.renameActiveSession(QStringLiteral(" Plans "));
        state.flush();
        QCOMPARE(storedSessions().first().title, QStringLiteral(" Plans "));
        // A user-set title is kept when the first message arrives.
        typeUserMessage(state, QStringLiteral("hello there"));
        QCOMPARE(state.activeSession()->title, QStringLiteral(" Plans "));
    }

    void deleteAndSelect()
    {
        AgentState state;
        const QUuid first = *state.activeSessionID();
        typeUserMessage(state, QStringLiteral("first chat"));
        state.newSession();
        const QUuid second = *state.activeSessionID();
        typeUserMessage(state, QStringLiteral("second chat"));

        state.deleteSession(first); // not active: nothing else changes
        QCOMPARE(*state.activeSessionID(), second);
        QCOMPARE(state.messages().first().content, QStringLiteral("second chat"));

        state.deleteSession(QUuid::createUuid()); // unknown id
        QCOMPARE(state.chatSessions().size(), 1);

        state.deleteSession(second); // the only one, active
        QCOMPARE(state.chatSessions().size(), 1);
        QCOMPARE(state.activeSession()->title, QStringLiteral("New Chat"));
        QVERIFY(state.messages().isEmpty());
        state.flush();
        QCOMPARE(storedSessions().size(), 1);

        state.selectSession(QUuid::createUuid()); // unknown id: nothing happens
        QCOMPARE(state.activeSessionID(), std::optional<QUuid>(state.chatSessions().first().id));
    }

    void pinSavesWithoutReordering()
    {
        AgentState state;
        typeUserMessage(state, QStringLiteral("older"));
        const QUuid older = *state.activeSessionID();
        const QDateTime updated = state.activeSession()->updatedAt;
        state.newSession();
        state.togglePin(older);
        state.flush();
        const auto stored = storedSessions();
        QCOMPARE(stored.size(), 2);
        QCOMPARE(stored[1].id, older);
        QVERIFY(stored[1].isPinned);
        QCOMPARE(stored[1].updatedAt.toMSecsSinceEpoch(), updated.toMSecsSinceEpoch());
    }

    void sessionsSurviveRestart()
    {
        QUuid id;
        {
            AgentState state;
            typeUserMessage(state, QStringLiteral("remember me"));
            state.newSession();
            state.syncActiveSession();
            id = state.chatSessions().last().id;
        }
        AgentState reloaded;
        QCOMPARE(reloaded.chatSessions().size(), 2);
        QCOMPARE(reloaded.chatSessions().last().id, id);
        // The first stored session becomes active at start.
        QCOMPARE(*reloaded.activeSessionID(), reloaded.chatSessions().first().id);
        QCOMPARE(reloaded.noticeKind(), QString());
    }

    void replaceLastMessageIsRowPrecise()
    {
        AgentState state;
        MessageListModel model(&state);
        state.appendMessage(Message::make(Roles::user, QStringLiteral("q")));
        state.appendMessage(Message::make(Roles::assistant, QString()));
        state.syncActiveSession();
        state.flush();
        const QDateTime updated = state.activeSession()->updatedAt;
        const QUuid oldId = state.messages().last().id;

        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
        state.replaceLastMessageContent(QStringLiteral("partial answer"));
        QCOMPARE(reset.count(), 0);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.first().at(0).toModelIndex().row(), 1);

        const Message &last = state.messages().last();
        QVERIFY(last.id != oldId);
        QCOMPARE(last.role, Roles::assistant);
        QCOMPARE(model.data(model.index(1), MessageListModel::ContentRole).toString(), QStringLiteral("partial answer"));
        QCOMPARE(state.activeSession()->messages.last().content, QStringLiteral("partial answer"));
        QCOMPARE(state.activeSession()->updatedAt, updated);
        state.flush();
        QCOMPARE(storedSessions().first().messages.last().content, QString()); // not saved
    }

    void clearAndReset()
    {
        DefaultsStore defaults;
        for (const QString &key : {DefaultsKeys::onboardingComplete, DefaultsKeys::userName, DefaultsKeys::responseStyle})
            defaults.setValue(key, QStringLiteral("x"));
        defaults.setValue(DefaultsKeys::completionSoundEnabled, false);
        AgentState state;
        state.setTemperature(1.5);
        state.setAutoLoadModel(QStringLiteral("/m.gguf"), QStringLiteral("M"));
        typeUserMessage(state, QStringLiteral("hello"));
        state.newSession();

        state.clearAllChats();
        QCOMPARE(state.chatSessions().size(), 1);
        QCOMPARE(state.temperature(), 1.5);

        QVERIFY(!state.completionSoundEnabled());
        QSignalSpy reset(&state, &AgentState::dataWasReset);
        state.resetAllData();
        state.flush();
        QCOMPARE(state.temperature(), 0.7);
        QVERIFY(!state.autoLoadModelPath());
        for (const QString &key : {DefaultsKeys::onboardingComplete, DefaultsKeys::userName, DefaultsKeys::responseStyle,
                                   DefaultsKeys::autoLoadModelPath, DefaultsKeys::autoLoadModelName})
            QVERIFY2(!defaults.contains(key), qPrintable(key));
        QVERIFY(!defaults.contains(DefaultsKeys::completionSoundEnabled));
        QVERIFY(state.completionSoundEnabled());
        QCOMPARE(reset.count(), 1);
        QCOMPARE(defaults.value(DefaultsKeys::temperature).toDouble(), 0.7);
        QCOMPARE(storedSessions().size(), 1);
    }

    void approvalGate()
    {
        AgentState state;
        QSignalSpy pending(&state, &AgentState::pendingApprovalChanged);

        state.resolveApproval(true); // nothing waiting: only clears
        QVERIFY(!state.hasPendingApproval());

        auto first = state.requestApproval(ToolCall::make(QStringLiteral("write_file"), {}));
        QVERIFY(state.hasPendingApproval());
        QCOMPARE(state.pendingApproval()->name, QStringLiteral("write_file"));

        // A second request while one waits: the first is answered as denied, not left hanging.
        auto second = state.requestApproval(ToolCall::make(QStringLiteral("delete_file"), {}));
        QCOMPARE(QCoro::waitFor(std::move(first)), false);
        QCOMPARE(state.pendingApproval()->name, QStringLiteral("delete_file"));

        state.resolveApproval(true);
        QVERIFY(!state.hasPendingApproval());
        QCOMPARE(QCoro::waitFor(std::move(second)), true);
        QVERIFY(pending.count() >= 3);
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
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(bytes);
        }
        if (obstacle == QLatin1String("folder at copy"))
            QVERIFY(QDir().mkpath(copyPath));

        for (int start = 0; start < 3; ++start) {
            AgentState state;
            QCOMPARE(state.chatSessions().size(), 1);
            QCOMPARE(state.noticeKind(), copied ? QStringLiteral("recovery") : QStringLiteral("readOnly"));
            QVERIFY(!state.noticeText().isEmpty());
            QVERIFY(!state.hasUnsavedChanges());
            typeUserMessage(state, QStringLiteral("new life"));
            if (copied) {
                QCOMPARE(state.noticeText(), QStringLiteral("Your conversations could not be read. A copy was kept at %1.").arg(copyPath));
                QCOMPARE(state.noticeAction(), QStringLiteral("Show in folder"));
                QCOMPARE(storedSessions().size(), 1); // replaced only once the copy is on disk
                QVERIFY(!state.hasUnsavedChanges());
                QCoreApplication::processEvents();
                QCOMPARE(state.noticeKind(), QStringLiteral("recovery"));
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

    // A failing save keeps the previous archive, shows why until a save succeeds, and Retry
    // saves again.
    void failedSaveIsShownUntilASaveSucceeds()
    {
        QTemporaryDir dir;
        const QString blocker = dir.filePath(QStringLiteral("folder"));
        ArchiveStore store(blocker + QStringLiteral("/chatSessions.json"));
        AgentState state(&store, nullptr);
        QVERIFY(QFile(blocker).open(QIODevice::WriteOnly)); // a file where the folder should be

        typeUserMessage(state, QStringLiteral("not on disk"));
        QTRY_COMPARE(state.noticeKind(), QStringLiteral("saveFailed"));
        QVERIFY2(state.noticeText().startsWith(QStringLiteral("Conversations could not be saved: ")), qPrintable(state.noticeText()));
        QCOMPARE(state.noticeAction(), QStringLiteral("Retry"));
        QVERIFY(!state.noticeDismissable());
        QVERIFY(state.hasUnsavedChanges());
        state.dismissNotice();
        QCOMPARE(state.noticeKind(), QStringLiteral("saveFailed"));

        QVERIFY(QFile::remove(blocker));
        state.performNoticeAction();
        state.flush();
        QTRY_COMPARE(state.noticeKind(), QString());
        QVERIFY(!state.hasUnsavedChanges());
        QFile saved(blocker + QStringLiteral("/chatSessions.json"));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(ChatArchive::decode(saved.readAll())->first().messages.first().content, QStringLiteral("not on disk"));
    }

    // While a turn writes into the conversation on screen nothing may cut or replace it.
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
        QVERIFY(state.changeBlockedReason().isEmpty());
        QVERIFY(state.truncateMessages(0));
        QVERIFY(state.messages().isEmpty());
        QVERIFY(state.activeSession()->messages.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAgentState)
#include "tst_agent_state.moc"
