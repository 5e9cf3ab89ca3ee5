import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

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
        onActivated: window.app.agentState.newSession()
    }

    RowLayout {
        anchors.fill: parent
        spacing: 0

        ColumnLayout {
            Layout.preferredWidth: 260
            Layout.maximumWidth: 260
            Layout.fillHeight: true

            Button {
                objectName: "newChatButton"
                text: "New Chat"
                Accessible.name: text
                Layout.fillWidth: true
                onClicked: window.app.agentState.newSession()
            }

            ListView {
                objectName: "sessionList"
                Layout.fillWidth: true
                Layout.fillHeight: true
                clip: true
                model: window.app.sessions
                delegate: ItemDelegate {
                    required property string sessionId
                    required property string title
                    required property bool isActive
                    width: ListView.view.width
                    objectName: "sessionRow_" + sessionId
                    text: title
                    highlighted: isActive
                    onClicked: window.app.agentState.selectSession(sessionId)
                }
            }
        }

        ChatView {
            objectName: "chatView"
            Layout.fillWidth: true
            Layout.fillHeight: true
            agentState: window.app.agentState
            agentManager: window.app.agentManager
            serverManager: window.app.serverManager
            messages: window.app.messages
        }
    }
}
