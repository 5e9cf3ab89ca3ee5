#include "SessionFilterModel.h"
#include "SidebarRules.h"
#include "conversation/AgentState.h"
#include "conversation/ArchiveStore.h"
#include "conversation/SessionListModel.h"

#include <QAbstractItemModelTester>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

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
        QTest::newRow("today, no seconds in C") << monday << QDateTime(QDate(2026, 3, 16), QTime(7, 5, 9))
                                               << "C" << "07:05";
        QTest::newRow("today, German") << monday << QDateTime(QDate(2026, 3, 16), QTime(15, 45))
                                       << "de_DE" << "15:45";
        QTest::newRow("30 hours, not yesterday") << earlyMonday << earlyMonday.addSecs(-30 * 3600)
                                                 << "en_US" << "Saturday";
        QTest::newRow("six days") << monday << monday.addDays(-6) << "en_US" << "Tuesday";
        QTest::newRow("weekday in French") << monday << monday.addDays(-3) << "fr_FR" << "vendredi";
    }

    void relativeDate()
    {
        QFETCH(QDateTime, now);
        QFETCH(QDateTime, date);
        QFETCH(QString, locale);
        QTEST(SidebarRules::relativeDate(date, now, QLocale(locale)), "expected");
    }

    // Random edits of the store and random keystrokes, checked after every step against the
    // visible list worked out from scratch (pinned first, stored order, title or any message,
    // any case, spaces around the query ignored), with Qt's model checker watching every
    // signal. A keystroke moves rows in and out and never resets the list under the user.
    void rowsFollowTheStore()
    {
        const QStringList words{"apple", "Berry", "cherry", "date", "elder", "fig"};
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("archive.json"));
        QList<ChatSession> initial;
        for (int i = 0; i < 12; ++i) {
            ChatSession made = ChatSession::make();
            made.title = words.at(i % words.size()) + QString::number(i);
            made.isPinned = i % 5 == 0;
            made.messages.append(Message::make(Roles::assistant, words.at((i * 7) % words.size())));
            initial << made;
        }
        ArchiveStore(path).save(initial);
        ArchiveStore archive(path);
        AgentState state(&archive, nullptr);
        SessionListModel sessions(&state);
        SessionFilterModel visible;
        visible.setAgentStateObject(&state);
        visible.setSessions(&sessions);
        QAbstractItemModelTester tester(&visible, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy resets(&visible, &QAbstractItemModel::modelReset);
        QRandomGenerator random(20261206);
        QString query;
        for (int step = 0; step < 400; ++step) {
            const QList<ChatSession> &stored = state.chatSessions();
            const QUuid someone = stored.at(random.bounded(int(stored.size()))).id;
            switch (random.bounded(6)) {
            case 0: {
                query = query.size() < 3 && random.bounded(2) ? query + QString(" abeirxy").at(random.bounded(8))
                                                              : query.left(query.size() - 1);
                const qsizetype before = resets.size();
                visible.setSearchQuery(query);
                QCOMPARE(resets.size(), before);
                break;
            }
            case 1:
                state.togglePin(someone);
                break;
            case 2:
                state.newSession();
                break;
            case 3:
                if (stored.size() > 2)
                    state.deleteSession(someone);
                break;
            case 4:
                state.selectSession(someone);
                state.renameActiveSession(words.at(random.bounded(int(words.size()))) + QString::number(step));
                break;
            case 5:
                // A reply streaming into the open conversation changes it without a word; the
                // next search must still find it.
                state.appendMessage(Message::make(Roles::assistant, QString()));
                state.replaceLastMessageContent(words.at(random.bounded(int(words.size()))));
                visible.setSearchQuery(QString());
                visible.setSearchQuery(query);
                break;
            }
            QStringList expected;
            const QString needle = query.trimmed();
            for (bool pinned : {true, false}) {
                for (const ChatSession &session : state.chatSessions()) {
                    bool found = session.title.contains(needle, Qt::CaseInsensitive);
                    for (const Message &message : session.messages)
                        found = found || message.content.contains(needle, Qt::CaseInsensitive);
                    if (session.isPinned == pinned && found)
                        expected << session.title;
                }
            }
            QStringList shown;
            for (int row = 0; row < visible.rowCount(); ++row)
                shown << visible.index(row, 0).data(SessionListModel::TitleRole).toString();
            QCOMPARE(shown, expected);
        }
    }
};

QTEST_GUILESS_MAIN(TestSidebarRules)
#include "tst_sidebar_rules.moc"
