import QtQuick
import MorloAI

// One bar per step; the current step's bar is long and in the accent colour.
Row {
    id: indicator

    property int count: 3
    property int current: 0

    spacing: 8

    Repeater {
        model: indicator.count
        Rectangle {
            required property int index
            height: 7
            radius: 3.5
            width: index === indicator.current ? 20 : 7
            color: index === indicator.current ? Theme.accent : Theme.withAlpha(Theme.secondaryText, 0.25)
            Behavior on width { SpringAnimation { spring: 5; damping: 0.825 } }
            Behavior on color { ColorAnimation { duration: 200 } }
        }
    }
}
