// The whole app as a person uses it, over the fake engine as a real child process: on the
// app's own engine and on a server added in Settings.
#include "AppModel.h"
#include "EngineFixture.h"
#include "FakeEngineProcess.h"
#include "QmlHarness.h"
#include "TestSupport.h"
#include "conversation/DefaultsStore.h"
#include "conversation/Identifiers.h"

#include <QFile>
#include <QJsonDocument>
#include <QQuickItem>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
QString text(QQuickItem *item) { return item ? item->property("text").toString() : u"<missing>"_s; }

// An item of the first tool-activity row.
QQuickItem *inActivityRow(QmlHarness &ui, const char *name)
{
    QQuickItem *row = ui.find(u"activityRow_0"_s, 10000);
    return row ? row->findChild<QQuickItem *>(QLatin1String(name)) : nullptr;
}
} // namespace

class TestLiveChat : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        TestSupport::resetUserData();
        DefaultsStore().setValue(DefaultsKeys::onboardingComplete, true); // past the first-run sheet
    }

    // A reply streams in, a tool call waits in the approval card, the answer to the card decides
    // what happens on disk, and the call's row is drawn again after a restart. The card shows
    // every value whole: a long path wraps inside its box with nothing cut off, long content
    // scrolls under its size line. Closing the card without a choice is a denial.
    void toolCallThroughTheCard_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::newRow("approved") << u"approveButton"_s;
        QTest::newRow("denied") << u"denyButton"_s;
        QTest::newRow("dismissed") << u"Escape"_s;
    }

    void toolCallThroughTheCard()
    {
        QFETCH(QString, answer);
        const bool approve = answer == u"approveButton"_s;
        EngineFixture engine;
        const QString folder = engine.path(QString(150, u'a') + u'/' + QString(50, u'c'));
        const QString given = folder + u'/' + QString(100, u'b') + u"/../notes.txt"_s;
        const QString target = folder + u"/notes.txt"_s;
        QStringList lines;
        for (int i = 1; i <= 40; ++i)
            lines << u"Line %1 of the notes"_s.arg(i);
        const QString content = lines.join(u'\n');
        const QJsonObject call{{"name", "write_file"}, {"arguments", QJsonObject{{"path", given}, {"content", content}}}};
        const QString line = u"TOOL_CALL: "_s + QString::fromUtf8(QJsonDocument(call).toJson(QJsonDocument::Compact));
        engine.setEngineScript({{"loadMs", 0},
                                {"replies", QJsonArray{QJsonObject{{"chunks", QJsonArray{"Sure.\n", line}}},
                                                       QJsonObject{{"chunks", QJsonArray{"All ", "done."}}}}}});
        auto ui = std::make_unique<QmlHarness>();
        QVERIFY(ui->startMainWindow(engine.environment));
        ui->window()->resize(1100, 900);
        ServerManager *server = ui->app()->serverManager();
        server->start(engine.path(u"model.gguf"_s), u"Test Model"_s);
        QTRY_VERIFY_WITH_TIMEOUT(server->isRunning(), 10000);

        ui->typeText(ui->find(u"messageInput"_s), u"Write hi to my notes"_s);
        ui->pressKey(Qt::Key_Return);
        QVERIFY(ui->find(u"approvalView"_s, 10000));
        QVERIFY(!QFile::exists(target)); // nothing runs before the answer
        QCOMPARE(text(ui->find(u"approvalRowLabel_2"_s)), u"Path"_s);
        QCOMPARE(text(ui->find(u"approvalRowValue_2"_s)), target);
        QCOMPARE(text(ui->find(u"approvalRowSize_2"_s)), u"%1 characters, 1 line"_s.arg(target.size()));
        QCOMPARE(text(ui->find(u"approvalRowSize_1"_s)), u"%1 characters, 40 lines"_s.arg(content.size()));
        QCOMPARE(text(ui->find(u"approvalNoteText_0"_s)), u"Creates a new file"_s);
        QTRY_VERIFY(ui->find(u"approveButton"_s)->isEnabled());
        QQuickItem *pathBox = ui->find(u"approvalRowBox_2"_s);
        QVERIFY(pathBox->height() >= pathBox->property("contentHeight").toReal());
        QVERIFY(ui->find(u"approvalRowValue_2"_s)->property("lineCount").toInt() > 3);
        QQuickItem *contentBox = ui->find(u"approvalRowBox_1"_s);
        QVERIFY(contentBox->height() < contentBox->property("contentHeight").toReal());
        QVERIFY(ui->find(u"approvalRowScroll_1"_s)->isVisible());
        QQuickItem *card = ui->find(u"approvalView"_s);
        QVERIFY(QRectF(QPointF(0, 0), ui->window()->size()).contains(card->mapRectToScene(card->boundingRect())));
        if (approve)
            ui->saveScreenshot(u"live-chat-approval"_s);
        if (answer == u"Escape"_s)
            ui->pressKey(Qt::Key_Escape);
        else
            ui->click(answer);

        AgentState *state = ui->app()->agentState();
        QTRY_VERIFY_WITH_TIMEOUT(!state->isLoading(), 10000);
        QCOMPARE(QFile::exists(target), approve);
        QCOMPARE(state->messages().last().content, u"All done."_s);
        const QString results = state->messages().at(state->messageCount() - 2).content;
        QVERIFY2(results.contains(approve ? u"File written successfully"_s : u"Denied by user"_s), qPrintable(results));
        QCOMPARE(state->activeSessionTitle(), u"Write hi to my notes"_s);
        const QString done = (approve ? u"Wrote "_s : u"Write File "_s) + target;
        QCOMPARE(text(inActivityRow(*ui, "activityAction")), done);
        if (approve)
            ui->saveScreenshot(u"live-chat-after-tool"_s);
        ui->app()->shutDown();
        ui.reset();

        // After a restart the row is drawn again from the stored conversation; a click opens
        // what the model was told, a denial as the one word.
        QmlHarness again;
        QVERIFY(again.startMainWindow(engine.environment));
        QCOMPARE(text(inActivityRow(again, "activityAction")), done);
        again.click(u"activityRow_0"_s);
        QTRY_VERIFY(inActivityRow(again, "activityResult")->isVisible());
        QCOMPARE(text(inActivityRow(again, "activityResult")), approve ? u"File written successfully to "_s + given : u"Denied"_s);
    }

    // A server added in Settings, its model picked from the composer's model menu: the reply
    // says which model on which server answered, and the Models tab lists the server's models.
    void addServerPickModelAndChat()
    {
        FakeEngineProcess server;
        QVERIFY(server.start(QJsonArray{QJsonObject{{"chunks", QJsonArray{"Hello", " from", " afar."}}}}));
        QmlHarness ui;
        QVERIFY(ui.startMainWindow());
        ui.click(u"tab_settings"_s);
        ui.click(u"addServerButton"_s);
        ui.typeText(ui.find(u"serverNameField"_s), u"Team GPU"_s);
        ui.typeText(ui.find(u"serverUrlField"_s), server.baseUrl().toString() + u"/"_s);
        ui.typeText(ui.find(u"serverKeyField"_s), u"sk-typed-in-settings"_s);
        ui.click(u"saveServerButton"_s);
        QCOMPARE(text(ui.find(u"serverModels_Team GPU"_s, 10000)), u"Serves fake-model"_s);
        ui.saveScreenshot(u"settings-servers"_s);

        ui.click(u"tab_chat"_s);
        ui.click(u"modelButton"_s);
        ui.saveScreenshot(u"chat-model-menu"_s);
        QQuickItem *entry = ui.find(u"modelMenuEntry_1"_s);
        QCOMPARE(text(entry), u"fake-model"_s);
        ui.click(entry);
        QTRY_COMPARE(text(ui.find(u"modelButtonLabel"_s)), u"fake-model"_s);

        ui.typeText(ui.find(u"messageInput"_s), u"Hi\n"_s);
        AgentState *state = ui.app()->agentState();
        QTRY_VERIFY_WITH_TIMEOUT(!state->isLoading() && state->messages().size() == 2, 10000);
        const Message reply = state->messages().last();
        QCOMPARE(reply.content, u"Hello from afar."_s);
        QCOMPARE(text(ui.find(u"replyCaption_"_s + Identifiers::uuidText(reply.id))), u"fake-model on Team GPU"_s);
        ui.saveScreenshot(u"chat-remote-reply"_s);

        ui.click(u"tab_models"_s);
        QCOMPARE(text(ui.find(u"engineStatusMessage"_s)), u"Ready — fake-model on Team GPU"_s);
        QVERIFY(ui.find(u"serverModelsSection"_s));
        ui.saveScreenshot(u"models-servers"_s);
    }
};

QTEST_MAIN(TestLiveChat)
#include "tst_live_chat.moc"
