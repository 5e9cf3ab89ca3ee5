import QtQuick
import QtQuick.Controls
import MorloAI

AppWindow {
    id: window
    required property var app

    width: 1100
    height: 720
    minimumWidth: Theme.minimumWindowWidth
    minimumHeight: Theme.minimumWindowHeight
    visible: true
    title: "Morlo AI"

    Component.onCompleted: window.app.autoLoad()
    // Closing the window quits when there is no tray: with changes not on disk, ask first.
    onClosing: close => close.accepted = window.app.confirmQuit()

    header: NoticeBar { agentState: window.app.agentState }

    // After everything was erased the app starts over in this window: the settings window goes.
    Connections {
        target: window.app.agentState
        function onDataWasReset() {
            if (settingsWindow.item)
                settingsWindow.item.close()
            window.raise()
            window.requestActivate()
        }
    }

    Shortcut {
        objectName: "newChatShortcut"
        sequence: StandardKey.New
        context: Qt.ApplicationShortcut
        onActivated: contentView.newChat()
    }

    // The separate settings window (Ctrl+,), made the first time it is asked for.
    Shortcut {
        objectName: "settingsShortcut"
        sequences: [StandardKey.Preferences, "Ctrl+,"]
        context: Qt.ApplicationShortcut
        onActivated: {
            settingsWindow.active = true
            settingsWindow.item.show()
            settingsWindow.item.raise()
            settingsWindow.item.requestActivate()
        }
    }

    // The same quit as the tray menu's: the application's own quit, with its usual clean-up.
    Shortcut {
        objectName: "quitShortcut"
        sequence: "Ctrl+Q"
        context: Qt.ApplicationShortcut
        onActivated: if (window.app.mayQuit()) Qt.quit()
    }

    // Named by file rather than as an inline component, so the settings window and its views
    // are not even compiled until Settings is first opened.
    Loader {
        id: settingsWindow
        active: false
        onActiveChanged: if (active) setSource("SettingsWindow.qml", { app: window.app })
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
        remoteServers: window.app.remoteServers
        activeEndpoint: window.app.activeEndpoint
    }
}
