#include "ModelLibraryRules.h"
#include "SessionFilterModel.h"
#include "SidebarRules.h"
#include "conversation/AgentState.h"
#include "conversation/SessionListModel.h"

#include "conversation/ArchiveStore.h"

#include <QAbstractItemModelTester>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {
ChatSession session(const QString &title, bool pinned, const QStringList &contents = {})
{
    ChatSession made = ChatSession::make();
    made.title = title;
    made.isPinned = pinned;
    for (const QString &content : contents)
        made.messages.append(Message::make(Roles::assistant, content));
    return made;
}

// An agent state that finds these sessions stored, in this order.
struct StoredSessions
{
    explicit StoredSessions(const QList<ChatSession> &stored)
    {
        const QString path = dir.filePath(QStringLiteral("archive.json"));
        ArchiveStore(path).save(stored);
        archive = std::make_unique<ArchiveStore>(path);
        state = std::make_unique<AgentState>(archive.get(), nullptr);
        sessions = std::make_unique<SessionListModel>(state.get());
        visible.setAgentStateObject(state.get());
        visible.setSessions(sessions.get());
    }
    QTemporaryDir dir;
    std::unique_ptr<ArchiveStore> archive;
    std::unique_ptr<AgentState> state;
    std::unique_ptr<SessionListModel> sessions;
    SessionFilterModel visible;
};

QStringList titles(const QAbstractItemModel &model)
{
    QStringList shown;
    for (int row = 0; row < model.rowCount(); ++row)
        shown << model.index(row, 0).data(SessionListModel::TitleRole).toString();
    return shown;
}
} // namespace

class TestSidebarRules : public QObject
{
    Q_OBJECT

private slots:
    void relativeDate_data()
    {
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<QDateTime>("date");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("expected");
        const QDateTime monday(QDate(2026, 3, 16), QTime(9, 30));
        const QDateTime earlyMonday(QDate(2026, 3, 16), QTime(1, 0));
        QTest::newRow("today, English") << monday << QDateTime(QDate(2026, 3, 16), QTime(3, 45))
                                        << "en_US" << "3:45\u202FAM";
        QTest::newRow("today, no seconds in C") << monday << QDateTime(QDate(2026, 3, 16), QTime(7, 5, 9))
                                               << "C" << "07:05";
        QTest::newRow("today, German") << monday << QDateTime(QDate(2026, 3, 16), QTime(15, 45))
                                       << "de_DE" << "15:45";
        QTest::newRow("yesterday late") << monday << QDateTime(QDate(2026, 3, 15), QTime(23, 59))
                                        << "en_US" << "Yesterday";
        QTest::newRow("30 hours, not yesterday") << earlyMonday << earlyMonday.addSecs(-30 * 3600)
                                                 << "en_US" << "Saturday";
        QTest::newRow("six days") << monday << monday.addDays(-6) << "en_US" << "Tuesday";
        QTest::newRow("weekday in French") << monday << monday.addDays(-3) << "fr_FR" << "vendredi";
        QTest::newRow("eight days") << monday << monday.addDays(-8) << "en_US" << "Mar 8";
        QTest::newRow("last year") << monday << QDateTime(QDate(2025, 12, 5), QTime(12, 0))
                                   << "en_US" << "Dec 5";
        QTest::newRow("no date") << monday << QDateTime() << "en_US" << "";
    }

    void relativeDate()
    {
        QFETCH(QDateTime, now);
        QFETCH(QDateTime, date);
        QFETCH(QString, locale);
        QFETCH(QString, expected);
        QString shown = SidebarRules::relativeDate(date, now, QLocale(locale));
        // Locale data differs in the space before AM/PM between ICU versions.
        shown.replace(QChar(0x20), QChar(0x202F));
        expected.replace(QChar(0x20), QChar(0x202F));
        QCOMPARE(shown, expected);
    }

    void initial_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("expected");
        QTest::newRow("lower case") << "trip to Lisbon" << "T";
        QTest::newRow("empty title, empty badge") << "" << "";
        QTest::newRow("outside the basic plane") << "\U0001F600 party" << "\U0001F600";
    }

    void initial()
    {
        QFETCH(QString, title);
        QFETCH(QString, expected);
        QCOMPARE(SidebarRules::initial(title), expected);
    }

    void visibleSessions_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("empty: pinned first, stored order kept")
            << "" << QStringList{"Pinned B", "Pinned D", "Alpha", "Gamma", "Epsilon"};
        QTest::newRow("only spaces show everything")
            << "  \n " << QStringList{"Pinned B", "Pinned D", "Alpha", "Gamma", "Epsilon"};
        QTest::newRow("title, any case") << "GAMMA" << QStringList{"Gamma"};
        QTest::newRow("found only inside a message") << " lisbon " << QStringList{"Pinned D", "Epsilon"};
        QTest::newRow("nothing") << "zebra" << QStringList{};
    }

    void visibleSessions()
    {
        QFETCH(QString, query);
        QFETCH(QStringList, expected);
        StoredSessions stored({session("Alpha", false), session("Pinned B", true),
                               session("Gamma", false, {"sort a vector"}),
                               session("Pinned D", true, {"nothing", "Weekend in LISBON"}),
                               session("Epsilon", false, {"lisbon castle"})});
        stored.visible.setSearchQuery(query);
        QCOMPARE(titles(stored.visible), expected);
    }

    void pinningKeepsTheOthersInOrder()
    {
        StoredSessions stored({session("A", false), session("B", false), session("C", true),
                               session("D", false)});
        QCOMPARE(titles(stored.visible), (QStringList{"C", "A", "B", "D"}));
        stored.state->togglePin(stored.state->chatSessions().at(1).id);
        QCOMPARE(titles(stored.visible), (QStringList{"B", "C", "A", "D"}));
        stored.visible.setSearchQuery(QStringLiteral("d"));
        QCOMPARE(titles(stored.visible), (QStringList{"D"}));
    }

    void typingNarrowsAndWidens()
    {
        StoredSessions stored({session("Lisbon", false), session("Lima", false, {"lisbon later"}),
                               session("Oslo", false)});
        const QList<std::pair<QString, QStringList>> steps{
            {"l", {"Lisbon", "Lima", "Oslo"}}, {"li", {"Lisbon", "Lima"}}, {"lis", {"Lisbon", "Lima"}},
            {"lisb", {"Lisbon", "Lima"}}, {"lis", {"Lisbon", "Lima"}}, {"o", {"Lisbon", "Lima", "Oslo"}},
            {"os", {"Oslo"}}};
        for (const auto &[query, expected] : steps) {
            stored.visible.setSearchQuery(query);
            QCOMPARE(titles(stored.visible), expected);
        }
        // A stored change between keystrokes is searched again, not taken from earlier results.
        stored.state->renameActiveSession(QStringLiteral("Lost"));
        stored.visible.setSearchQuery(QStringLiteral("l"));
        stored.visible.setSearchQuery(QStringLiteral("lo"));
        QCOMPARE(titles(stored.visible), (QStringList{"Lost", "Oslo"}));
    }

    void keystrokesTouchOnlyTheRowsThatChange()
    {
        StoredSessions stored({session("Lisbon", false), session("Lima", true), session("Oslo", false),
                               session("Lyon", false)});
        QSignalSpy resets(&stored.visible, &QAbstractItemModel::modelReset);
        QSignalSpy removed(&stored.visible, &QAbstractItemModel::rowsRemoved);
        QSignalSpy inserted(&stored.visible, &QAbstractItemModel::rowsInserted);
        stored.visible.setSearchQuery(QStringLiteral("li"));
        QCOMPARE(titles(stored.visible), (QStringList{"Lima", "Lisbon"}));
        // Oslo and Lyon sit next to each other: one removal.
        QCOMPARE(removed.size(), 1);
        QCOMPARE(removed.first().at(1).toInt(), 2);
        QCOMPARE(removed.first().at(2).toInt(), 3);
        stored.visible.setSearchQuery(QStringLiteral("l"));
        QCOMPARE(titles(stored.visible), (QStringList{"Lima", "Lisbon", "Oslo", "Lyon"}));
        QCOMPARE(inserted.size(), 1);
        QCOMPARE(inserted.first().at(1).toInt(), 2);
        QCOMPARE(inserted.first().at(2).toInt(), 3);
        QCOMPARE(resets.size(), 0);
    }

    void theConversationBeingWrittenIsSearchedAfresh()
    {
        StoredSessions stored({session("Alpha", false), session("Beta", false)});
        stored.state->selectSession(stored.state->chatSessions().at(1).id);
        stored.visible.setSearchQuery(QStringLiteral("zebra"));
        QCOMPARE(titles(stored.visible), QStringList{});
        // A streamed reply lands in the open conversation without a change notice.
        stored.state->appendMessage(Message::make(Roles::assistant, QString()));
        stored.state->replaceLastMessageContent(QStringLiteral("a Zebra crossing"));
        stored.visible.setSearchQuery(QString());
        stored.visible.setSearchQuery(QStringLiteral("zebra"));
        QCOMPARE(titles(stored.visible), QStringList{"Beta"});
        stored.visible.setSearchQuery(QStringLiteral("zebra c"));
        QCOMPARE(titles(stored.visible), QStringList{"Beta"});
    }

    // Random edits of the store and random queries, checked after every step against the
    // visible list worked out from scratch, with Qt's model checker watching every signal.
    void rowsFollowTheStore()
    {
        const QStringList words{"apple", "Berry", "cherry", "date", "elder", "fig"};
        QList<ChatSession> initial;
        for (int i = 0; i < 12; ++i)
            initial << session(words.at(i % words.size()) + QString::number(i), i % 5 == 0,
                               {words.at((i * 7) % words.size())});
        StoredSessions stored(initial);
        QAbstractItemModelTester tester(&stored.visible, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QRandomGenerator random(20261206);
        QString query;
        for (int step = 0; step < 400; ++step) {
            AgentState &state = *stored.state;
            const QList<ChatSession> &sessions = state.chatSessions();
            const QUuid someone = sessions.at(random.bounded(int(sessions.size()))).id;
            switch (random.bounded(6)) {
            case 0:
                query = query.size() < 3 && random.bounded(2) ? query + QString("aeirxy").at(random.bounded(6))
                                                              : query.left(query.size() - 1);
                stored.visible.setSearchQuery(query);
                break;
            case 1:
                state.togglePin(someone);
                break;
            case 2:
                state.newSession();
                break;
            case 3:
                if (sessions.size() > 2)
                    state.deleteSession(someone);
                break;
            case 4:
                state.selectSession(someone);
                state.renameActiveSession(words.at(random.bounded(int(words.size()))) + QString::number(step));
                break;
            case 5:
                // A reply streaming into the open conversation changes it without a word.
                state.appendMessage(Message::make(Roles::assistant, QString()));
                state.replaceLastMessageContent(words.at(random.bounded(int(words.size()))));
                stored.visible.setSearchQuery(QString());
                stored.visible.setSearchQuery(query);
                break;
            }
            QStringList expected;
            const QString needle = query.trimmed();
            for (bool pinned : {true, false}) {
                for (const ChatSession &stored : state.chatSessions()) {
                    bool found = stored.title.contains(needle, Qt::CaseInsensitive);
                    for (const Message &message : stored.messages)
                        found = found || message.content.contains(needle, Qt::CaseInsensitive);
                    if (stored.isPinned == pinned && found)
                        expected << stored.title;
                }
            }
            QCOMPARE(titles(stored.visible), expected);
        }
    }

    void modelSearch_data()
    {
        QTest::addColumn<QString>("search");
        QTest::addColumn<bool>("expected");
        QTest::newRow("empty") << "" << true;
        QTest::newRow("parameter count, other case") << "8b" << true;
        QTest::newRow("name") << "llama 3.1" << true;
        QTest::newRow("description") << "MULTILINGUAL" << true;
        QTest::newRow("repository is not searched") << "tessoran" << false;
    }

    void modelSearch()
    {
        QFETCH(QString, search);
        QFETCH(bool, expected);
        QCOMPARE(ModelLibraryRules::matches(QStringLiteral("Llama 3.1 8B Instruct"),
                                            QStringLiteral("Strong multilingual assistant"),
                                            QStringLiteral("8B"), search),
                 expected);
    }

    void variantAction_data()
    {
        QTest::addColumn<bool>("downloading");
        QTest::addColumn<bool>("downloaded");
        QTest::addColumn<bool>("running");
        QTest::addColumn<QString>("activePath");
        QTest::addColumn<QString>("expected");
        QTest::newRow("absent") << false << false << true << "/m/a.gguf" << "download";
        QTest::newRow("downloading wins") << true << true << true << "/m/a.gguf" << "progress";
        QTest::newRow("present, engine on it") << false << true << true << "/m/a.gguf" << "loaded";
        QTest::newRow("present, engine on another") << false << true << true << "/m/b.gguf" << "load";
        QTest::newRow("engine stopped, path kept") << false << true << false << "/m/a.gguf" << "load";
    }

    void variantAction()
    {
        QFETCH(bool, downloading);
        QFETCH(bool, downloaded);
        QFETCH(bool, running);
        QFETCH(QString, activePath);
        QFETCH(QString, expected);
        QCOMPARE(ModelLibraryRules::variantAction(downloading, downloaded, running, activePath,
                                                  QStringLiteral("/m/a.gguf")),
                 expected);
    }
};

QTEST_GUILESS_MAIN(TestSidebarRules)
#include "tst_sidebar_rules.moc"
