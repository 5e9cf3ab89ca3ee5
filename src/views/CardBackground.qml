import QtQuick
import MorloAI

// The rounded card every sheet, dialog and alert is drawn on.
Rectangle {
    radius: Theme.cardRadius
    color: Theme.cardBackground
    border.color: Theme.separator
    border.width: 1
}
