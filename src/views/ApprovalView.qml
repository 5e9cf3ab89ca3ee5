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

    readonly property var content: ApprovalCard.card(toolCall)
    readonly property var rows: content.rows || []
    readonly property var ignoredRows: content.ignored || []
    readonly property var notes: content.notes || []
    readonly property string descriptionText: content.description || ""
    // Approve waits until every value has been laid out whole, so nothing can be approved unseen.
    readonly property bool laidOut: allLaidOut(rowsRepeater, rows.length) && allLaidOut(ignoredRepeater, ignoredRows.length)

    function allLaidOut(repeater, expected) {
        if (repeater.count !== expected)
            return false
        for (let i = 0; i < repeater.count; ++i) {
            const item = repeater.itemAt(i)
            if (!item || !item.laidOut)
                return false
        }
        return true
    }

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
                id: rowsRepeater
                model: card.rows
                delegate: ColumnLayout {
                    required property var modelData
                    required property int index
                    readonly property bool laidOut: argumentRow.laidOut
                    Layout.fillWidth: true
                    spacing: 0

                    Divider {
                        visible: index > 0
                        Layout.leftMargin: 52
                    }
                    ApprovalArgumentRow {
                        id: argumentRow
                        objectName: "approvalRow_" + index
                        entry: modelData
                        rowIndex: index
                    }
                }
            }
        }

        // Arguments the tool does not read, under their exact names, so nothing is hidden
        ColumnLayout {
            objectName: "approvalIgnored"
            visible: card.ignoredRows.length > 0
            Layout.fillWidth: true
            spacing: 0
            Divider {}
            Label {
                Layout.leftMargin: 20
                Layout.topMargin: 10
                text: "Ignored arguments"
                font.pixelSize: Theme.captionSize
                font.weight: Font.DemiBold
                color: Theme.secondaryText
            }
            Repeater {
                id: ignoredRepeater
                model: card.ignoredRows
                delegate: ApprovalArgumentRow {
                    required property var modelData
                    required property int index
                    entry: modelData
                    namePrefix: "approvalIgnored"
                    rowIndex: index
                }
            }
        }

        // What else will happen: a file replaced, the Trash, the processes that will end
        Repeater {
            model: card.notes
            delegate: RowLayout {
                required property string modelData
                required property int index
                objectName: "approvalNote_" + index
                Layout.fillWidth: true
                Layout.leftMargin: 20
                Layout.rightMargin: 20
                Layout.bottomMargin: 8
                spacing: 8
                Icon {
                    symbol: "exclamationmark.triangle.fill"
                    size: 12
                    color: Theme.orange
                    Layout.preferredWidth: size
                    Layout.preferredHeight: size
                    Layout.alignment: Qt.AlignTop
                }
                Label {
                    objectName: "approvalNoteText_" + index
                    Layout.fillWidth: true
                    text: modelData
                    wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                    font.pixelSize: Theme.captionSize
                    color: Theme.textColor
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
                enabled: card.laidOut
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
                        color: approveButton.enabled ? Theme.green : Theme.withAlpha(Theme.green, 0.4)
                        border.width: approveButton.visualFocus ? 2 : 0
                        border.color: Qt.lighter(Theme.green, 1.5)
                    }
                }
                onClicked: card.approve()
            }
        }
    }
}
