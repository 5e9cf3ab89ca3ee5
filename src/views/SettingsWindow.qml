import QtQuick
import QtQuick.Window
import MorloAI

// The separate settings window, opened with Ctrl+, from the main window.
Window {
    id: window

    required property QtObject app

    title: "Settings"
    width: 540
    height: 540
    color: Theme.windowBackground

    SettingsView {
        anchors.fill: parent
        agentState: window.app.agentState
        serverManager: window.app.serverManager
        modelManager: window.app.modelManager
        remoteServers: window.app.remoteServers
    }
}
