import QtQuick
import MorloAI
import QtQuick.Controls
import QtQuick.Layouts

// One tool call that was handled, as a compact line: icon, what was done, and the first line of
// what came of it. Clicking opens the whole result the model received, selectable.
Rectangle {
    id: activity

    // {icon, tint, action, result}
    required property var entry
    property bool expanded: false

    implicitHeight: column.implicitHeight + 12
    radius: 8
    color: Theme.withAlpha(Theme.secondaryText, 0.08)

    ColumnLayout {
        id: column
        x: 10
        y: 6
        width: parent.width - 20
        spacing: 4

        RowLayout {
            Layout.fillWidth: true
            spacing: 8
            Icon {
                symbol: activity.entry.icon
                size: 13
                Layout.preferredWidth: size
                Layout.preferredHeight: size
                color: activity.entry.tint === "green" ? Theme.green
                     : activity.entry.tint === "red" ? Theme.red : Theme.secondaryText
            }
            Label {
                objectName: "activityAction"
                text: activity.entry.action
                font.pixelSize: Theme.captionSize + 1
                font.weight: Font.Medium
                color: Theme.textColor
                elide: Text.ElideMiddle
                Layout.maximumWidth: column.width * 0.6
            }
            Label {
                objectName: "activitySummary"
                Layout.fillWidth: true
                // The whole result shows below once opened.
                text: activity.expanded ? "" : activity.entry.result.split("\n")[0]
                elide: Text.ElideRight
                font.pixelSize: Theme.captionSize + 1
                color: Theme.secondaryText
            }
            Icon {
                symbol: activity.expanded ? "chevron.up" : "chevron.down"
                size: 10
                Layout.preferredWidth: size
                Layout.preferredHeight: size
                color: Theme.secondaryText
            }
        }
        TextEdit {
            objectName: "activityResult"
            Layout.fillWidth: true
            visible: activity.expanded
            text: activity.entry.result
            textFormat: TextEdit.PlainText
            readOnly: true
            selectByMouse: true
            wrapMode: TextEdit.WrapAtWordBoundaryOrAnywhere
            font.pixelSize: Theme.captionSize + 1
            color: Theme.secondaryText
        }
    }

    TapHandler {
        onTapped: activity.expanded = !activity.expanded
    }
    Accessible.role: Accessible.Button
    Accessible.name: activity.entry.action + ": " + activity.entry.result
}
