#include "AppModel.h"

#include "conversation/AgentState.h"
#include "conversation/MessageListModel.h"
#include "conversation/SessionListModel.h"

#include <QQmlApplicationEngine>
#include <QtQml/qqmlextensionplugin.h>

// The views are a static QML module; importing its plugin here links it into every user of
// the application object (the app and the UI tests).
Q_IMPORT_QML_PLUGIN(MorloAIPlugin)

AppModel::AppModel(QObject *parent)
    : QObject(parent)
    , m_agentState(new AgentState(this))
    , m_messages(new MessageListModel(m_agentState, this))
    , m_sessions(new SessionListModel(m_agentState, this))
{
}

AppModel::~AppModel()
{
    m_agentState->flush();
}

bool AppModel::loadMainWindow(QQmlApplicationEngine &engine)
{
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    engine.setInitialProperties({{QStringLiteral("app"), QVariant::fromValue(this)}});
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/MorloAI/Main.qml")));
    return !engine.rootObjects().isEmpty();
}
