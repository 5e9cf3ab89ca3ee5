import QtQuick
import QtQuick.Controls
import MorloAI

// The composer's model menu: this computer's files, each reachable server's models under its
// name, and the way to the Models tab. Choosing a server's model starts no engine.
Menu {
    id: menu
    objectName: "modelMenu"

    property QtObject modelManager: null
    property QtObject serverManager: null
    property QtObject remoteServers: null
    property QtObject activeEndpoint: null

    signal browseModels()

    // Rebuilt each time the menu opens, so it shows what is loaded and reachable now.
    property var entries: []
    onAboutToShow: entries = ModelMenuRules.entries(modelManager, serverManager, remoteServers, activeEndpoint)

    Instantiator {
        model: menu.entries
        delegate: MenuItem {
            required property var modelData
            required property int index
            objectName: "modelMenuEntry_" + index
            text: modelData.label
            enabled: modelData.kind !== "header"
            font.weight: modelData.kind === "header" ? Font.DemiBold : Font.Normal
            checkable: modelData.kind !== "header"
            checked: modelData.checked === true
            onTriggered: {
                // A file the engine already runs on is chosen again without a restart.
                if (modelData.kind === "remote")
                    menu.activeEndpoint.chooseRemote(modelData.serverId, modelData.model)
                else if (modelData.loaded && menu.activeEndpoint)
                    menu.activeEndpoint.chooseLocal()
                else if (!modelData.loaded)
                    menu.serverManager.start(modelData.path, modelData.label)
            }
        }
        onObjectAdded: (index, object) => menu.insertItem(index, object)
        onObjectRemoved: (index, object) => menu.removeItem(object)
    }

    MenuSeparator {}
    MenuItem {
        objectName: "browseModelsEntry"
        text: "Browse Models…"
        onTriggered: menu.browseModels()
    }
}
