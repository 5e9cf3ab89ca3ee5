// A person adds a server elsewhere in Settings, picks its model from the composer's model menu,
// chats with it, and sees which model on which server answered; the Models tab lists the
// server's models. The real window, over the fake engine standing in for the server.
#include "AppModel.h"
#include "FakeEngineProcess.h"
#include "QmlHarness.h"
#include "TestSupport.h"
#include "conversation/DefaultsStore.h"
#include "conversation/Identifiers.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QQuickItem>
#include <QTest>

class TestServersView : public QObject
{
    Q_OBJECT

private slots:
    void addServerPickModelAndChat()
    {
        TestSupport::resetUserData();
        DefaultsStore().setValue(DefaultsKeys::onboardingComplete, true);
        FakeEngineProcess server;
        QVERIFY(server.start(QJsonArray{QJsonObject{{"chunks", QJsonArray{"Hello", " from", " afar."}}}}));
        QmlHarness ui;
        QVERIFY(ui.startMainWindow());

        ui.click(QStringLiteral("tab_settings"));
        ui.click(QStringLiteral("addServerButton"));
        ui.typeText(ui.find(QStringLiteral("serverNameField")), QStringLiteral("Team GPU"));
        ui.typeText(ui.find(QStringLiteral("serverUrlField")), server.baseUrl().toString() + QStringLiteral("/"));
        ui.typeText(ui.find(QStringLiteral("serverKeyField")), QStringLiteral("sk-typed-in-settings"));
        ui.click(QStringLiteral("saveServerButton"));
        QQuickItem *models = ui.find(QStringLiteral("serverModels_Team GPU"), 10000);
        QVERIFY(models);
        QCOMPARE(models->property("text").toString(), QStringLiteral("Serves fake-model"));
        ui.saveScreenshot(QStringLiteral("settings-servers"));

        ui.click(QStringLiteral("tab_chat"));
        ui.click(QStringLiteral("modelButton"));
        ui.saveScreenshot(QStringLiteral("chat-model-menu"));
        QQuickItem *entry = ui.find(QStringLiteral("modelMenuEntry_1"));
        QVERIFY(entry);
        QCOMPARE(entry->property("text").toString(), QStringLiteral("fake-model"));
        ui.click(entry);
        QTRY_COMPARE(ui.find(QStringLiteral("modelButtonLabel"))->property("text").toString(), QStringLiteral("fake-model"));

        ui.typeText(ui.find(QStringLiteral("messageInput")), QStringLiteral("Hi\n"));
        AgentState *state = ui.app()->agentState();
        QTRY_VERIFY_WITH_TIMEOUT(!state->isLoading() && state->messages().size() == 2, 10000);
        const Message reply = state->messages().last();
        QCOMPARE(reply.content, QStringLiteral("Hello from afar."));
        QQuickItem *caption = ui.find(QStringLiteral("replyCaption_") + Identifiers::uuidText(reply.id));
        QVERIFY(caption);
        QCOMPARE(caption->property("text").toString(), QStringLiteral("fake-model on Team GPU"));
        ui.saveScreenshot(QStringLiteral("chat-remote-reply"));

        ui.click(QStringLiteral("tab_models"));
        QCOMPARE(ui.find(QStringLiteral("engineStatusMessage"))->property("text").toString(),
                 QStringLiteral("Ready — fake-model on Team GPU"));
        QVERIFY(ui.find(QStringLiteral("serverModelsSection")));
        ui.saveScreenshot(QStringLiteral("models-servers"));
    }
};

QTEST_MAIN(TestServersView)
#include "tst_servers_view.moc"
