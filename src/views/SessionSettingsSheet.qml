import QtQuick
import MorloAI
import QtQuick.Controls
import QtQuick.Layouts

// The per-session settings: the chat's title and, optionally, a system prompt of its own.
Popup {
    id: sheet

    required property QtObject agentState
    property string titleDraft
    property string promptDraft

    objectName: "sessionSettingsSheet"
    modal: true
    focus: true
    width: 420
    padding: 20
    anchors.centerIn: Overlay.overlay
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside

    onAboutToShow: {
        titleDraft = agentState.activeSessionID !== "" ? agentState.activeSessionTitle : ""
        promptDraft = ChatRules.sessionPromptOverride(agentState)
        titleField.forceActiveFocus()
    }

    function save() {
        agentState.renameActiveSession(titleDraft)
        ChatRules.setSessionPromptOverride(agentState, promptDraft)
        close()
    }

    background: Rectangle {
        radius: 12
        color: Theme.windowBackground
        border.color: Theme.separator
    }

    contentItem: ColumnLayout {
        spacing: 16

        RowLayout {
            Layout.fillWidth: true
            Label {
                Layout.fillWidth: true
                text: "Session Settings"
                font.pixelSize: Theme.headlineSize
                font.weight: Font.DemiBold
                color: Theme.textColor
            }
            IconButton {
                objectName: "sessionSettingsClose"
                symbol: "xmark.circle.fill"
                iconSize: 16
                Accessible.name: "Close"
                onClicked: sheet.close()
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 6
            Label {
                text: "Chat Title"
                font.pixelSize: Theme.captionSize + 1
                font.weight: Font.DemiBold
                color: Theme.secondaryText
            }
            TextField {
                id: titleField
                objectName: "sessionTitleField"
                Layout.fillWidth: true
                placeholderText: "Session title"
                Accessible.name: "Chat Title"
                text: sheet.titleDraft
                onTextEdited: sheet.titleDraft = text
                onAccepted: sheet.save()
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 6
            Label {
                text: "System Prompt for This Chat"
                font.pixelSize: Theme.captionSize + 1
                font.weight: Font.DemiBold
                color: Theme.secondaryText
            }
            ScrollView {
                Layout.fillWidth: true
                Layout.preferredHeight: 96
                TextArea {
                    id: promptArea
                    objectName: "sessionPromptField"
                    placeholderText: "Leave empty to use the default prompt"
                    Accessible.name: "System Prompt for This Chat"
                    wrapMode: TextArea.Wrap
                    text: sheet.promptDraft
                    onTextChanged: if (activeFocus) sheet.promptDraft = text
                    KeyNavigation.priority: KeyNavigation.BeforeItem
                    KeyNavigation.tab: cancelButton
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 10
            Button {
                id: cancelButton
                objectName: "sessionSettingsCancel"
                Accessible.name: text
                text: "Cancel"
                Layout.fillWidth: true
                Layout.preferredWidth: 1
                onClicked: sheet.close()
            }
            Button {
                objectName: "sessionSettingsSave"
                Accessible.name: text
                text: "Save"
                highlighted: true
                Layout.fillWidth: true
                Layout.preferredWidth: 1
                onClicked: sheet.save()
            }
        }
    }
}
