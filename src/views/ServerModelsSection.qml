import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MorloAI

// The Models tab's list of what each added server serves, with a way to use one of its models.
// Servers that could not be reached say why; the section is absent when no server was added.
ColumnLayout {
    id: section
    objectName: "serverModelsSection"

    property QtObject remoteServers: null
    property QtObject activeEndpoint: null

    visible: remoteServers !== null && remoteServers.servers.length > 0
    spacing: 4

    Label {
        text: "Servers"
        font.pixelSize: Theme.subheadlineSize
        font.weight: Font.DemiBold
        color: Theme.secondaryText
    }

    Repeater {
        model: section.remoteServers ? section.remoteServers.servers : []
        delegate: ColumnLayout {
            id: serverBlock
            required property var modelData
            Layout.fillWidth: true
            spacing: 2

            Label {
                text: serverBlock.modelData.name
                font.weight: Font.DemiBold
                color: Theme.textColor
            }
            Label {
                objectName: "serverModelsError_" + serverBlock.modelData.name
                visible: serverBlock.modelData.status === "failed"
                text: serverBlock.modelData.error
                color: Theme.red
                font.pixelSize: Theme.captionSize
                wrapMode: Text.WordWrap
                Layout.fillWidth: true
            }
            Repeater {
                model: serverBlock.modelData.models
                delegate: RowLayout {
                    id: modelRow
                    required property string modelData
                    readonly property bool inUse: section.activeEndpoint !== null
                                                  && section.activeEndpoint.serverId === serverBlock.modelData.id
                                                  && section.activeEndpoint.model === modelData
                    Layout.fillWidth: true
                    spacing: 8
                    Label {
                        text: modelRow.modelData
                        Layout.fillWidth: true
                        elide: Text.ElideRight
                        color: Theme.textColor
                    }
                    Label {
                        visible: modelRow.inUse
                        text: "In use"
                        color: Theme.green
                        font.pixelSize: Theme.captionSize
                    }
                    Button {
                        objectName: "useServerModel_" + modelRow.modelData
                        visible: !modelRow.inUse && section.activeEndpoint !== null
                        text: "Use"
                        font.pixelSize: Theme.captionSize
                        onClicked: section.activeEndpoint.chooseRemote(serverBlock.modelData.id, modelRow.modelData)
                    }
                }
            }
        }
    }
}
