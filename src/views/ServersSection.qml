import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MorloAI

// Settings for servers elsewhere: add, edit, remove, test the connection. Keys go to the
// keyring; the view never shows a stored key.
SettingsSection {
    id: section
    objectName: "serversSection"
    title: "Servers"

    required property QtObject remoteServers

    // The server being edited: "" for none, "new" for a new one, else its id.
    property string editingId: ""
    property string formError: ""

    function edit(server) {
        editingId = server ? server.id : "new"
        nameField.text = server ? server.name : ""
        urlField.text = server ? server.baseUrl : ""
        keyField.text = ""
        formError = ""
    }

    function save() {
        formError = remoteServers.validate(nameField.text, urlField.text)
        if (formError !== "")
            return
        remoteServers.saveServer(editingId === "new" ? "" : editingId, nameField.text, urlField.text,
                                 keyField.text, keyField.text !== "")
        editingId = ""
        keyField.text = ""
    }

    Label {
        objectName: "noKeyringWarning"
        visible: !section.remoteServers.keyringAvailable
        text: "No keyring service is running — API keys are kept only until Morlo AI quits."
        color: Theme.orange
        wrapMode: Text.WordWrap
        Layout.fillWidth: true
    }

    Label {
        visible: section.remoteServers.servers.length === 0 && section.editingId === ""
        text: "Chat with a model served by another machine through its OpenAI-compatible address."
        color: Theme.secondaryText
        font.pixelSize: Theme.subheadlineSize
        wrapMode: Text.WordWrap
        Layout.fillWidth: true
    }

    Repeater {
        model: section.remoteServers.servers
        delegate: ColumnLayout {
            id: serverRow
            required property var modelData
            objectName: "serverRow_" + modelData.name
            Layout.fillWidth: true
            spacing: 4

            RowLayout {
                Layout.fillWidth: true
                spacing: 8
                Rectangle {
                    width: 8
                    height: 8
                    radius: 4
                    color: serverRow.modelData.status === "reachable" ? Theme.green
                         : serverRow.modelData.status === "failed" ? Theme.red
                         : Theme.withAlpha(Theme.secondaryText, 0.4)
                }
                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 0
                    Label { text: serverRow.modelData.name; font.weight: Font.DemiBold; color: Theme.textColor }
                    Label {
                        text: serverRow.modelData.baseUrl + (!serverRow.modelData.hasKey ? ""
                              : section.remoteServers.keyringAvailable ? "  ·  API key in keyring"
                              : "  ·  API key kept for this run")
                        color: Theme.secondaryText
                        font.pixelSize: Theme.captionSize
                    }
                }
                BusyIndicator {
                    visible: serverRow.modelData.status === "testing"
                    running: visible
                    implicitWidth: 16
                    implicitHeight: 16
                }
                Button {
                    objectName: "testConnectionButton_" + serverRow.modelData.name
                    text: "Test connection"
                    font.pixelSize: Theme.captionSize
                    enabled: serverRow.modelData.status !== "testing"
                    onClicked: section.remoteServers.testServer(serverRow.modelData.id)
                }
                Button {
                    objectName: "editServerButton_" + serverRow.modelData.name
                    text: "Edit"
                    font.pixelSize: Theme.captionSize
                    onClicked: section.edit(serverRow.modelData)
                }
                Button {
                    objectName: "removeServerButton_" + serverRow.modelData.name
                    text: "Remove"
                    font.pixelSize: Theme.captionSize
                    palette.buttonText: Theme.red
                    onClicked: section.remoteServers.removeServer(serverRow.modelData.id)
                }
            }
            Label {
                objectName: "serverModels_" + serverRow.modelData.name
                visible: serverRow.modelData.status === "reachable"
                text: "Serves " + serverRow.modelData.models.join(", ")
                color: Theme.secondaryText
                font.pixelSize: Theme.captionSize
                wrapMode: Text.WordWrap
                Layout.fillWidth: true
                Layout.leftMargin: 16
            }
            Label {
                objectName: "serverError_" + serverRow.modelData.name
                visible: serverRow.modelData.status === "failed"
                text: serverRow.modelData.error
                color: Theme.red
                font.pixelSize: Theme.captionSize
                wrapMode: Text.WordWrap
                Layout.fillWidth: true
                Layout.leftMargin: 16
            }
            RowLayout {
                visible: serverRow.modelData.plainHttpWarning !== ""
                Layout.leftMargin: 16
                spacing: 6
                Icon { symbol: "exclamationmark.triangle.fill"; color: Theme.orange; size: 11 }
                Label {
                    objectName: "plainHttpWarning_" + serverRow.modelData.name
                    text: serverRow.modelData.plainHttpWarning
                    color: Theme.orange
                    font.pixelSize: Theme.captionSize
                }
                Button {
                    objectName: "acknowledgePlainHttp_" + serverRow.modelData.name
                    text: "OK"
                    font.pixelSize: Theme.captionSize
                    onClicked: section.remoteServers.acknowledgePlainHttp(serverRow.modelData.id)
                }
            }
        }
    }

    GridLayout {
        objectName: "serverForm"
        visible: section.editingId !== ""
        columns: 2
        columnSpacing: 8
        rowSpacing: 6
        Layout.fillWidth: true

        Label { text: "Name"; color: Theme.textColor }
        TextField {
            id: nameField
            objectName: "serverNameField"
            placeholderText: "GPU server"
            Layout.fillWidth: true
        }
        Label { text: "Address"; color: Theme.textColor }
        TextField {
            id: urlField
            objectName: "serverUrlField"
            placeholderText: "https://host:port/v1"
            Layout.fillWidth: true
        }
        Label { text: "API key"; color: Theme.textColor }
        TextField {
            id: keyField
            objectName: "serverKeyField"
            echoMode: TextInput.Password
            placeholderText: section.editingId === "new" ? "Optional" : "Leave empty to keep the stored key"
            Layout.fillWidth: true
        }
        Label {
            objectName: "serverFormError"
            visible: section.formError !== ""
            text: section.formError
            color: Theme.red
            font.pixelSize: Theme.captionSize
            Layout.columnSpan: 2
        }
        RowLayout {
            Layout.columnSpan: 2
            Layout.alignment: Qt.AlignRight
            Button {
                objectName: "cancelServerButton"
                text: "Cancel"
                onClicked: section.editingId = ""
            }
            Button {
                objectName: "saveServerButton"
                text: "Save"
                highlighted: true
                onClicked: section.save()
            }
        }
    }

    Button {
        objectName: "addServerButton"
        visible: section.editingId === ""
        text: "Add Server…"
        onClicked: section.edit(null)
    }
}
