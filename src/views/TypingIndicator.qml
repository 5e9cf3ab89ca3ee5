import QtQuick

// Shown while a turn runs and nothing has streamed yet: the avatar beside three pulsing dots.
Row {
    id: indicator

    property int phase: 0

    spacing: 12
    Accessible.name: "Morlo AI is typing"

    Avatar {}

    Rectangle {
        width: dots.implicitWidth + 28
        height: 30
        radius: 15
        color: Theme.faintFill

        Row {
            id: dots
            anchors.centerIn: parent
            spacing: 5
            Repeater {
                model: 3
                Rectangle {
                    required property int index
                    width: 7
                    height: 7
                    radius: 3.5
                    color: index === indicator.phase ? Theme.accent : Theme.withAlpha(Theme.secondaryText, 0.3)
                    scale: index === indicator.phase ? 1.15 : 1.0
                    Behavior on scale { NumberAnimation { duration: 250; easing.type: Easing.OutBack } }
                    Behavior on color { ColorAnimation { duration: 250 } }
                }
            }
        }
    }

    // Runs only while the indicator exists; it goes with it.
    Timer {
        interval: Theme.typingStep
        running: indicator.visible
        repeat: true
        onTriggered: indicator.phase = (indicator.phase + 1) % 3
    }
}
