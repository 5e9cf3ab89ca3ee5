import QtQuick
import QtQuick.Controls

// A borderless button showing one symbol, with a tooltip; `shown` scales and fades it in and out.
AbstractButton {
    id: button

    property string symbol
    property real iconSize: 14
    property color tint: Theme.secondaryText
    property string toolTipText
    property bool shown: true

    hoverEnabled: true
    focusPolicy: Qt.StrongFocus
    padding: 4
    visible: opacity > 0
    opacity: shown ? 1 : 0
    scale: shown ? 1 : 0.8
    Behavior on opacity { NumberAnimation { duration: Theme.hoverDuration } }
    Behavior on scale { NumberAnimation { duration: Theme.hoverDuration } }

    ToolTip.visible: hovered && toolTipText !== ""
    ToolTip.text: toolTipText
    ToolTip.delay: 600

    background: Rectangle {
        radius: height / 2
        color: button.visualFocus ? Theme.withAlpha(Theme.accent, 0.2)
             : button.hovered ? Theme.faintFill : "transparent"
    }
    contentItem: Icon {
        symbol: button.symbol
        size: button.iconSize
        color: button.tint
    }
}
