import QtQuick
import QtQuick.Controls

ApplicationWindow {
    id: window
    required property var app

    width: 1100
    height: 720
    visible: true
    title: "Morlo AI"

    Component.onCompleted: window.app.autoLoad()

    Shortcut {
        objectName: "newChatShortcut"
        sequence: StandardKey.New
        context: Qt.ApplicationShortcut
        onActivated: contentView.newChat()
    }

    ContentView {
        id: contentView
        anchors.fill: parent
        agentState: window.app.agentState
        agentManager: window.app.agentManager
        modelManager: window.app.modelManager
        serverManager: window.app.serverManager
        messages: window.app.messages
        sessions: window.app.sessions
    }
}
