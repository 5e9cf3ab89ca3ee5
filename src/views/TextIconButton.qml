import QtQuick
import QtQuick.Controls

// A small plain action: a symbol and a label in one colour (copy, retry).
AbstractButton {
    id: button

    property string symbol
    property color tint: Theme.secondaryText

    hoverEnabled: true
    focusPolicy: Qt.StrongFocus
    padding: 2
    Accessible.name: text

    background: Rectangle {
        radius: 4
        color: button.visualFocus ? Theme.withAlpha(Theme.accent, 0.2)
             : button.hovered ? Theme.faintFill : "transparent"
    }
    contentItem: Row {
        spacing: 4
        Icon {
            anchors.verticalCenter: parent.verticalCenter
            symbol: button.symbol
            size: 11
            color: button.tint
        }
        Label {
            text: button.text
            font.pixelSize: 11
            font.weight: Font.Medium
            color: button.tint
        }
    }
}
