import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MorloAI

// A destructive action of the Data section; its icon shows the run's phase
// (0 idle, 1 deleting, 2 done).
AbstractButton {
    id: button

    property int phase: 0
    property string subtitle

    Layout.fillWidth: true
    hoverEnabled: true
    Accessible.name: text
    implicitHeight: row.implicitHeight + 8
    opacity: enabled ? 1 : 0.45

    background: Rectangle {
        radius: 6
        color: button.hovered ? Theme.faintFill : "transparent"
    }
    contentItem: RowLayout {
        id: row
        spacing: 10
        Item {
            implicitWidth: 32
            implicitHeight: 32
            Icon {
                objectName: button.objectName + "Icon"
                anchors.centerIn: parent
                symbol: button.phase === 2 ? "checkmark" : "trash"
                color: button.phase === 2 ? Theme.green : Theme.red
                size: 18
                visible: button.phase !== 1
                scale: visible ? 1 : 0.6
                Behavior on scale { SpringAnimation { spring: 4; damping: 0.825 } }
            }
            BusyIndicator {
                anchors.centerIn: parent
                width: 22
                height: 22
                running: button.phase === 1
                visible: running
            }
        }
        ColumnLayout {
            spacing: 1
            Layout.fillWidth: true
            Label {
                text: button.text
                font.pixelSize: Theme.bodySize
                color: Theme.red
            }
            Label {
                text: button.subtitle
                font.pixelSize: Theme.captionSize
                color: Theme.secondaryText
                Layout.fillWidth: true
                wrapMode: Text.Wrap
            }
        }
    }
}
