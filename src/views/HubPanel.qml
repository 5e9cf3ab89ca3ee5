import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MorloAI

// Adding any GGUF from the hub: a repository (owner/name or a hub address) lists its GGUF files,
// a search lists GGUF repositories, and a refused repository asks for an account token. All
// state lives in the model library's hub browser.
ColumnLayout {
    id: panel
    objectName: "hubPanel"

    required property QtObject browser

    spacing: 8

    RowLayout {
        Layout.fillWidth: true
        spacing: 6
        TextField {
            id: referenceField
            objectName: "hubReferenceField"
            Layout.fillWidth: true
            placeholderText: "owner/name or a hub address"
            onAccepted: panel.browser.open(text)
        }
        Button {
            objectName: "showHubFilesButton"
            text: "Show files"
            enabled: referenceField.text.trim() !== ""
            font.pixelSize: Theme.captionSize
            onClicked: panel.browser.open(referenceField.text)
        }
    }

    TextField {
        objectName: "hubSearchField"
        Layout.fillWidth: true
        placeholderText: "Search the hub…"
        onTextEdited: panel.browser.search(text)
    }

    RowLayout {
        Layout.fillWidth: true
        visible: panel.browser.busy || panel.browser.message !== ""
        BusyIndicator {
            visible: panel.browser.busy
            running: visible
            Layout.preferredWidth: 16
            Layout.preferredHeight: 16
        }
        Label {
            objectName: "hubMessage"
            Layout.fillWidth: true
            text: panel.browser.message
            color: Theme.red
            wrapMode: Text.Wrap
            font.pixelSize: Theme.captionSize
        }
    }

    // The hub refused: a token of the user's hub account opens private and gated repositories.
    RowLayout {
        Layout.fillWidth: true
        visible: panel.browser.needsToken
        spacing: 6
        TextField {
            id: tokenField
            objectName: "hubTokenField"
            Layout.fillWidth: true
            placeholderText: "Hub account token"
            echoMode: TextInput.Password
            onAccepted: panel.browser.saveToken(text)
        }
        Button {
            objectName: "saveHubTokenButton"
            text: "Use token"
            enabled: tokenField.text.trim() !== ""
            font.pixelSize: Theme.captionSize
            onClicked: panel.browser.saveToken(tokenField.text)
        }
    }

    // Search results: choosing one lists its files.
    Repeater {
        model: panel.browser.repositories
        delegate: AbstractButton {
            required property var modelData
            required property int index
            objectName: "hubRepository_" + index
            Layout.fillWidth: true
            padding: 4
            onClicked: {
                referenceField.text = modelData.repo
                panel.browser.open(modelData.repo)
            }
            contentItem: RowLayout {
                Label {
                    Layout.fillWidth: true
                    text: modelData.repo
                    elide: Text.ElideRight
                    font.pixelSize: Theme.subheadlineSize
                }
                Label {
                    text: modelData.downloads + " downloads · " + modelData.likes + " likes"
                    font.pixelSize: Theme.captionSize
                    color: Theme.secondaryText
                }
            }
            background: Rectangle {
                radius: 6
                color: parent.hovered ? Theme.faintFill : "transparent"
            }
        }
    }

    Label {
        visible: panel.browser.files.length > 0
        text: panel.browser.repo
        font.pixelSize: Theme.subheadlineSize
        font.bold: true
    }

    // The repository's GGUF files: choosing one downloads it into "My models".
    Repeater {
        model: panel.browser.files
        delegate: RowLayout {
            required property var modelData
            required property int index
            objectName: "hubFile_" + index
            Layout.fillWidth: true
            spacing: 8
            Label {
                Layout.fillWidth: true
                text: modelData.filename
                elide: Text.ElideMiddle
                font.pixelSize: Theme.subheadlineSize
            }
            Label {
                text: modelData.quantization
                font.pixelSize: Theme.captionSize
                font.bold: true
            }
            Label {
                text: modelData.sizeLabel
                font.pixelSize: Theme.captionSize
                color: Theme.secondaryText
            }
            Button {
                objectName: "hubDownloadButton_" + index
                text: "Download"
                font.pixelSize: Theme.captionSize
                onClicked: panel.browser.download(index)
            }
        }
    }
}
