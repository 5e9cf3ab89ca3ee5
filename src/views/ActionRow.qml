import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MorloAI

// A plain button drawn as an icon, a title and a subtitle.
AbstractButton {
    id: button

    property string symbol
    property string subtitle
    property color tint: Theme.accent

    Layout.fillWidth: true
    hoverEnabled: true
    Accessible.name: text
    implicitHeight: row.implicitHeight + 8

    background: Rectangle {
        radius: 6
        color: button.hovered ? Theme.faintFill : "transparent"
    }
    contentItem: RowLayout {
        id: row
        spacing: 10
        Icon {
            symbol: button.symbol
            color: button.tint
            size: 16
        }
        ColumnLayout {
            spacing: 1
            Layout.fillWidth: true
            Label {
                text: button.text
                font.pixelSize: Theme.bodySize
                color: Theme.textColor
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
