// The whole app as a person uses it: type in the chat, the reply streams in from the engine
// (the fake engine as a real child process), a tool call waits in the approval card, and the
// answer to the card decides what happens on disk.
#include "AppModel.h"
#include "EngineFixture.h"
#include "QmlHarness.h"
#include "TestSupport.h"
#include "conversation/DefaultsStore.h"

#include <QFile>
#include <QJsonDocument>
#include <QTest>

class TestLiveChat : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        TestSupport::resetUserData();
        DefaultsStore().setValue(DefaultsKeys::onboardingComplete, true); // past the first-run sheet
    }

    void toolCallThroughTheCard_data()
    {
        QTest::addColumn<bool>("approve");
        QTest::newRow("approved") << true;
        QTest::newRow("denied") << false;
    }

    void toolCallThroughTheCard()
    {
        QFETCH(bool, approve);
        EngineFixture engine;
        const QString target = engine.path(QStringLiteral("notes.txt"));
        const QJsonObject call{{"name", "write_file"}, {"arguments", QJsonObject{{"path", target}, {"content", "hi"}}}};
        const QString line = QStringLiteral("TOOL_CALL: ") + QString::fromUtf8(QJsonDocument(call).toJson(QJsonDocument::Compact));
        engine.setEngineScript({{"loadMs", 0},
                                {"replies", QJsonArray{QJsonObject{{"chunks", QJsonArray{"Sure.\n", line}}},
                                                       QJsonObject{{"chunks", QJsonArray{"All ", "done."}}}}}});
        QmlHarness ui;
        QVERIFY(ui.startMainWindow(engine.environment));
        ServerManager *server = ui.app()->serverManager();
        server->start(engine.path(QStringLiteral("model.gguf")), QStringLiteral("Test Model"));
        QTRY_VERIFY_WITH_TIMEOUT(server->isRunning(), 10000);

        ui.typeText(ui.find(QStringLiteral("messageInput")), QStringLiteral("Write hi to my notes"));
        ui.pressKey(Qt::Key_Return);

        QQuickItem *button = ui.find(approve ? QStringLiteral("approveButton") : QStringLiteral("denyButton"), 10000);
        QVERIFY(button);
        QVERIFY(!QFile::exists(target)); // nothing runs before the answer
        if (approve)
            ui.saveScreenshot(QStringLiteral("live-chat-approval"));
        ui.click(button);

        AgentState *state = ui.app()->agentState();
        QTRY_VERIFY_WITH_TIMEOUT(!state->isLoading(), 10000);
        QCOMPARE(QFile::exists(target), approve);
        QCOMPARE(state->messages().last().content, QStringLiteral("All done."));
        const QString results = state->messages().at(state->messageCount() - 2).content;
        QVERIFY2(results.contains(approve ? QStringLiteral("File written successfully") : QStringLiteral("Denied by user")),
                 qPrintable(results));
        QCOMPARE(state->activeSessionTitle(), QStringLiteral("Write hi to my notes"));
        if (approve)
            ui.saveScreenshot(QStringLiteral("live-chat-after-tool"));
        ui.app()->shutDown();
    }
};

QTEST_MAIN(TestLiveChat)
#include "tst_live_chat.moc"
