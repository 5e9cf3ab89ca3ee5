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
    sourceSize: Qt.size(Math.ceil(size * 2), Math.ceil(size * 2))
    source: symbol === "" ? "" : SymbolIcons.source(symbol, color)
    fillMode: Image.PreserveAspectFit
    smooth: true
    mipmap: true
    Accessible.ignored: true
}
