import QtQuick
import MorloAI
import QtQuick.Controls
import QtQuick.Layouts

// One row of the approval card: icon, label and the whole value. A long value sits in a
// scrollable, selectable box under a size line, so no part of it is ever cut off unseen.
RowLayout {
    id: row

    // {icon, tint, label, value, sizeLine}
    required property var entry
    property string namePrefix: "approvalRow"
    property int rowIndex: 0
    // Eight lines of value before the box scrolls.
    readonly property real maximumBoxHeight: Math.ceil(metrics.lineSpacing * 8) + 4
    // The value has been laid out whole: its full height is known, so the box shows it or scrolls.
    readonly property bool laidOut: valueText.text === entry.value && (entry.value === "" || valueText.contentHeight > 0)

    Layout.fillWidth: true
    Layout.leftMargin: 20
    Layout.rightMargin: 20
    Layout.topMargin: 12
    Layout.bottomMargin: 12
    spacing: 12

    FontMetrics { id: metrics; font: valueText.font }

    Item {
        Layout.preferredWidth: 28
        Layout.alignment: Qt.AlignTop
        implicitHeight: rowIcon.height + 1
        Icon {
            id: rowIcon
            objectName: row.namePrefix + "Icon_" + row.rowIndex
            y: 1
            anchors.horizontalCenter: parent.horizontalCenter
            symbol: row.entry.icon
            size: 15
            color: row.entry.tint === "blue" ? Theme.blue : Theme.secondaryText
        }
    }
    ColumnLayout {
        Layout.fillWidth: true
        spacing: 2
        Label {
            objectName: row.namePrefix + "Label_" + row.rowIndex
            Layout.fillWidth: true
            text: row.entry.label
            wrapMode: Text.WrapAnywhere
            font.pixelSize: Theme.captionSize
            color: Theme.secondaryText
        }
        Flickable {
            id: box
            objectName: row.namePrefix + "Box_" + row.rowIndex
            Layout.fillWidth: true
            Layout.preferredHeight: Math.min(contentHeight, row.maximumBoxHeight)
            contentWidth: width
            contentHeight: valueText.contentHeight
            clip: true
            boundsBehavior: Flickable.StopAtBounds
            interactive: contentHeight > height
            ScrollBar.vertical: ScrollBar {
                objectName: row.namePrefix + "Scroll_" + row.rowIndex
                policy: box.contentHeight > box.height ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
            }

            TextEdit {
                id: valueText
                objectName: row.namePrefix + "Value_" + row.rowIndex
                width: box.width - (box.contentHeight > box.height ? 10 : 0)
                text: row.entry.value
                textFormat: TextEdit.PlainText
                readOnly: true
                selectByMouse: true
                // A path has no spaces to break at: it wraps anywhere rather than running off.
                wrapMode: TextEdit.WrapAtWordBoundaryOrAnywhere
                font.pixelSize: Theme.subheadlineSize + 1
                color: Theme.textColor
                selectionColor: Theme.withAlpha(Theme.accent, 0.35)
                Accessible.name: row.entry.label + ": " + row.entry.value
            }
        }
        Label {
            objectName: row.namePrefix + "Size_" + row.rowIndex
            visible: row.entry.sizeLine !== ""
            text: row.entry.sizeLine
            font.pixelSize: Theme.captionSize
            color: Theme.secondaryText
        }
    }
}
