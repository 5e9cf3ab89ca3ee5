import QtQuick
import MorloAI

// The ring around whatever control has the keyboard after Tab, Shift+Tab or a shortcut, drawn
// once per window over everything, so every control of every view shows it the same way.
Rectangle {
    id: ring

    // The window's content item; the ring follows that window's focus.
    required property Item host
    readonly property Item target: host.Window.activeFocusItem
    // Controls say themselves whether their focus came from the keyboard; plain text inputs
    // and lists draw their own cue (a cursor, a current row).
    readonly property bool wanted: target !== null && target.visualFocus === true && target.visible

    parent: host
    z: 10000
    visible: wanted
    color: "transparent"
    border.width: Theme.focusRingWidth
    border.color: Theme.focusRing
    radius: 6
    enabled: false

    function follow() {
        if (!wanted)
            return
        const origin = target.mapToItem(host, 0, 0)
        x = origin.x - 2
        y = origin.y - 2
        width = target.width + 4
        height = target.height + 4
    }
    onTargetChanged: follow()
    onWantedChanged: follow()
    // Lists and pages may move the control under a steady focus.
    Timer {
        interval: 100
        repeat: true
        running: ring.wanted
        onTriggered: ring.follow()
    }
}
