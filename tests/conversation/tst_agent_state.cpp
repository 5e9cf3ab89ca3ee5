#include "TestSupport.h"
#include "conversation/AgentState.h"
#include "conversation/ArchiveStore.h"
#include "conversation/ChatArchive.h"
#include "conversation/DefaultsStore.h"
#include "conversation/MessageListModel.h"
#include "platform/AppPaths.h"

#include <QFile>
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

        state.resetAllData();
        state.flush();
        QCOMPARE(state.temperature(), 0.7);
        QVERIFY(!state.autoLoadModelPath());
        for (const QString &key : {DefaultsKeys::onboardingComplete, DefaultsKeys::userName, DefaultsKeys::responseStyle,
                                   DefaultsKeys::autoLoadModelPath, DefaultsKeys::autoLoadModelName})
            QVERIFY2(!defaults.contains(key), qPrintable(key));
        QCOMPARE(defaults.value(DefaultsKeys::completionSoundEnabled).toBool(), false);
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

    void unreadableArchiveIsKeptAside_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("truncated") << QByteArray("[{\"id\":\"6F9619FF-8B86-D011-B42D-00C04FC964FF\",\"ti");
        QTest::newRow("not utf-8") << QByteArray("\xff\xfe\xfd garbage", 12);
        QTest::newRow("wrong type") << QByteArray("[{\"id\":1}]");
    }

    void unreadableArchiveIsKeptAside()
    {
        QFETCH(QByteArray, bytes);
        {
            QFile file(AppPaths::chatArchivePath());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(bytes);
        }
        AgentState state;
        QCOMPARE(state.chatSessions().size(), 1);
        QVERIFY(state.archiveNotice().contains(QStringLiteral("unreadable")));
        typeUserMessage(state, QStringLiteral("new life"));
        QCOMPARE(storedSessions().size(), 1);

        const QString copyPath = state.archiveNotice().section(QStringLiteral(" at "), 1).chopped(1);
        QFile copy(copyPath);
        QVERIFY2(copy.open(QIODevice::ReadOnly), qPrintable(copyPath));
        QCOMPARE(copy.readAll(), bytes);
    }

    void failedWriteKeepsPreviousArchive()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("chatSessions.json"));
        ArchiveStore store(path);
        store.save({ChatSession::make()});
        store.flush();
        const QByteArray before = QFile(path).exists() ? [&] { QFile f(path); f.open(QIODevice::ReadOnly); return f.readAll(); }() : QByteArray();
        QVERIFY(!before.isEmpty());

        // The folder becomes unusable: a plain file now stands where the archive's folder was.
        ArchiveStore broken(dir.filePath(QStringLiteral("chatSessions.json/inner.json")));
        broken.save({ChatSession::make(), ChatSession::make()});
        broken.flush();
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), before);
    }
};

QTEST_GUILESS_MAIN(TestAgentState)
#include "tst_agent_state.moc"
