import QtQuick
import QtQuick.Templates as T
import MorloAI

// The app's busy indicator: a turning accent arc on a faint ring, legible from 12 px up (the
// style's own shrinks to a dot at the sizes the views use). Views import MorloAI after
// QtQuick.Controls, so `BusyIndicator` in any view is this one.
T.BusyIndicator {
    id: control

    implicitWidth: 18
    implicitHeight: 18
    Accessible.role: Accessible.Animation
    Accessible.name: "Busy"

    contentItem: Canvas {
        id: arc

        readonly property color tint: Theme.accent
        visible: control.running
        onTintChanged: requestPaint()
        onWidthChanged: requestPaint()
        onHeightChanged: requestPaint()
        onPaint: {
            const ctx = getContext("2d")
            ctx.reset()
            const side = Math.min(width, height)
            const line = Math.max(1.5, side / 8)
            const radius = (side - line) / 2
            ctx.lineWidth = line
            ctx.lineCap = "round"
            ctx.strokeStyle = Qt.rgba(tint.r, tint.g, tint.b, 0.2)
            ctx.beginPath()
            ctx.arc(width / 2, height / 2, radius, 0, 2 * Math.PI)
            ctx.stroke()
            ctx.strokeStyle = tint
            ctx.beginPath()
            ctx.arc(width / 2, height / 2, radius, -Math.PI / 2, Math.PI / 4)
            ctx.stroke()
        }

        RotationAnimator on rotation {
            from: 0
            to: 360
            duration: 900
            loops: Animation.Infinite
            running: control.running && control.visible
        }
    }
}
