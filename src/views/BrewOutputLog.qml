import QtQuick
import QtQuick.Controls
import MorloAI

// What Homebrew has printed so far, kept scrolled to its end.
Rectangle {
    id: log

    property string text
    property real maximumHeight: 120

    implicitHeight: Math.min(maximumHeight, output.implicitHeight + 12)
    visible: text !== ""
    radius: 6
    color: Theme.withAlpha(Theme.system.base, 0.5)
    clip: true

    Flickable {
        id: flick
        anchors.fill: parent
        anchors.margins: 6
        contentHeight: output.implicitHeight
        boundsBehavior: Flickable.StopAtBounds
        ScrollBar.vertical: ScrollBar {}

        TextEdit {
            id: output
            width: flick.width
            text: log.text
            readOnly: true
            selectByMouse: true
            wrapMode: TextEdit.WrapAnywhere
            font.family: Theme.monospaceFamily
            font.pixelSize: 10
            color: Theme.secondaryText
            onImplicitHeightChanged: flick.contentY = Math.max(0, flick.contentHeight - flick.height)
        }
    }
}
