import QtQuick
import MorloAI
import QtQuick.Controls
import QtQuick.Layouts

// The card through which the user allows or refuses one tool call. It holds no state: it shows
// what will be done and reports the choice.
Rectangle {
    id: card

    // {id, name, arguments} as the state store publishes the pending call.
    required property var toolCall

    signal approve()
    signal deny()

    readonly property var rows: ApprovalCard.rows(toolCall)
    readonly property string descriptionText: ApprovalCard.description(toolCall.name || "")

    implicitWidth: 380
    width: 380
    implicitHeight: column.implicitHeight
    color: Theme.windowBackground

    ColumnLayout {
        id: column
        width: parent.width
        spacing: 0

        // Header
        ColumnLayout {
            Layout.fillWidth: true
            Layout.preferredWidth: card.width
            Layout.topMargin: 28
            Layout.bottomMargin: 20
            spacing: 12

            Rectangle {
                Layout.alignment: Qt.AlignHCenter
                width: 52
                height: 52
                radius: 14
                color: Theme.withAlpha(Theme.orange, 0.12)
                Icon {
                    anchors.centerIn: parent
                    symbol: "lock.shield.fill"
                    size: 26
                    color: Theme.orange
                }
            }
            ColumnLayout {
                Layout.fillWidth: true
                spacing: 4
                Label {
                    objectName: "approvalTitle"
                    Layout.fillWidth: true
                    horizontalAlignment: Text.AlignHCenter
                    text: "Action Requires Approval"
                    font.pixelSize: Theme.headlineSize
                    font.weight: Font.DemiBold
                    color: Theme.textColor
                }
                Label {
                    objectName: "approvalSubtitle"
                    Layout.fillWidth: true
                    horizontalAlignment: Text.AlignHCenter
                    text: "Morlo AI wants to perform a system action"
                    font.pixelSize: Theme.captionSize
                    color: Theme.secondaryText
                }
            }
        }

        Divider {}

        // The call: the action, then its arguments in name order
        ColumnLayout {
            Layout.fillWidth: true
            Layout.topMargin: 6
            Layout.bottomMargin: 6
            spacing: 0

            Repeater {
                model: card.rows
                delegate: ColumnLayout {
                    required property var modelData
                    required property int index
                    Layout.fillWidth: true
                    spacing: 0

                    Divider {
                        visible: index > 0
                        Layout.leftMargin: 52
                    }
                    RowLayout {
                        objectName: "approvalRow_" + index
                        Layout.fillWidth: true
                        Layout.leftMargin: 20
                        Layout.rightMargin: 20
                        Layout.topMargin: 12
                        Layout.bottomMargin: 12
                        spacing: 12

                        Item {
                            Layout.preferredWidth: 28
                            Layout.alignment: Qt.AlignTop
                            implicitHeight: rowIcon.height + 1
                            Icon {
                                id: rowIcon
                                objectName: "approvalRowIcon_" + index
                                property string symbolName: modelData.icon
                                y: 1
                                anchors.horizontalCenter: parent.horizontalCenter
                                symbol: modelData.icon
                                size: 15
                                color: modelData.tint === "blue" ? Theme.blue : Theme.secondaryText
                            }
                        }
                        ColumnLayout {
                            Layout.fillWidth: true
                            spacing: 2
                            Label {
                                objectName: "approvalRowLabel_" + index
                                text: modelData.label
                                font.pixelSize: Theme.captionSize
                                color: Theme.secondaryText
                            }
                            TextEdit {
                                objectName: "approvalRowValue_" + index
                                Layout.fillWidth: true
                                // Three lines at most; the full text stays selectable and copyable.
                                Layout.maximumHeight: Math.ceil(fontMetrics.lineSpacing * 3)
                                clip: true
                                text: modelData.value
                                textFormat: TextEdit.PlainText
                                readOnly: true
                                selectByMouse: true
                                wrapMode: TextEdit.Wrap
                                font.pixelSize: Theme.subheadlineSize + 1
                                color: Theme.textColor
                                selectionColor: Theme.withAlpha(Theme.accent, 0.35)
                                Accessible.name: modelData.label + ": " + modelData.value
                                FontMetrics { id: fontMetrics; font.pixelSize: Theme.subheadlineSize + 1 }
                            }
                        }
                    }
                }
            }
        }

        Divider {}

        // What the tool does, for a tool the app knows
        RowLayout {
            objectName: "approvalDescription"
            visible: card.descriptionText !== ""
            Layout.fillWidth: true
            Layout.leftMargin: 20
            Layout.rightMargin: 20
            Layout.topMargin: 12
            Layout.bottomMargin: 12
            spacing: 8
            Icon { symbol: "info.circle"; size: 12; color: Theme.secondaryText }
            Label {
                Layout.fillWidth: true
                text: card.descriptionText
                wrapMode: Text.Wrap
                font.pixelSize: Theme.captionSize
                color: Theme.secondaryText
            }
        }
        Divider { visible: card.descriptionText !== "" }

        RowLayout {
            Layout.fillWidth: true
            Layout.margins: 20
            spacing: 10

            Button {
                id: denyButton
                objectName: "denyButton"
                Accessible.name: "Deny"
                text: "Deny"
                Layout.fillWidth: true
                Layout.preferredWidth: 1
                flat: true
                topPadding: 10
                bottomPadding: 10
                font.pixelSize: Theme.subheadlineSize + 1
                font.weight: Font.Medium
                contentItem: Label {
                    text: denyButton.text
                    font: denyButton.font
                    color: Theme.red
                    horizontalAlignment: Text.AlignHCenter
                }
                background: Rectangle {
                    radius: 10
                    color: Theme.controlBackground
                    border.width: denyButton.visualFocus ? 2 : 1
                    border.color: Theme.withAlpha(Theme.red, denyButton.visualFocus ? 0.8 : 0.3)
                }
                onClicked: card.deny()
            }
            Button {
                id: approveButton
                objectName: "approveButton"
                Accessible.name: "Approve"
                text: "Approve"
                Layout.fillWidth: true
                Layout.preferredWidth: 1
                flat: true
                topPadding: 10
                bottomPadding: 10
                font.pixelSize: Theme.subheadlineSize + 1
                font.weight: Font.DemiBold
                contentItem: Label {
                    text: approveButton.text
                    font: approveButton.font
                    color: "white"
                    horizontalAlignment: Text.AlignHCenter
                }
                background: Item {
                    Rectangle {
                        anchors.fill: parent
                        anchors.topMargin: 2
                        anchors.bottomMargin: -2
                        radius: 10
                        color: Theme.withAlpha(Theme.green, 0.25)
                    }
                    Rectangle {
                        anchors.fill: parent
                        radius: 10
                        color: Theme.green
                        border.width: approveButton.visualFocus ? 2 : 0
                        border.color: Qt.lighter(Theme.green, 1.5)
                    }
                }
                onClicked: card.approve()
            }
        }
    }
}
