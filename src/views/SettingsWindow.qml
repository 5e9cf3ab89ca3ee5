import QtQuick
import QtQuick.Window
import MorloAI

// The separate settings window, opened with Ctrl+, from the main window.
AppWindow {
    id: window

    required property QtObject app

    title: "Settings"
    width: 540
    height: 540

    // Escape and Ctrl+W close it, as the platform's own windows do.
    Shortcut {
        objectName: "closeSettingsShortcut"
        sequences: ["Escape", "Ctrl+W"]
        onActivated: window.close()
    }

    SettingsView {
        anchors.fill: parent
        agentState: window.app.agentState
        serverManager: window.app.serverManager
        modelManager: window.app.modelManager
        remoteServers: window.app.remoteServers
    }
}
