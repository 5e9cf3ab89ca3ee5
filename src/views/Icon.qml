import QtQuick
import MorloAI

// One symbol of the icon table, tinted in one colour.
Image {
    id: icon

    property string symbol
    property color color: Theme.secondaryText
    property real size: 13

    width: size
    height: size
    // Drawn at the size shown: the image is asked for this size times the screen's scale, so it
    // lands on whole device pixels at 1x and 2x instead of being shrunk from a larger one.
    sourceSize: Qt.size(Math.ceil(size), Math.ceil(size))
    source: symbol === "" ? "" : SymbolIcons.source(symbol, color)
    fillMode: Image.PreserveAspectFit
    Accessible.ignored: true
}
