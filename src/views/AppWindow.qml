import QtQuick
import QtQuick.Controls
import MorloAI

// A top-level window of the app. Its palette is bound to the desktop's palette role by role, so
// every control in it turns light or dark with the desktop even while the app runs (the
// controls' style otherwise keeps the palette it saw at start), and it shows the keyboard focus.
ApplicationWindow {
    id: window

    color: Theme.windowBackground
    palette.window: Theme.system.window
    palette.windowText: Theme.system.windowText
    palette.base: Theme.system.base
    palette.alternateBase: Theme.system.alternateBase
    palette.text: Theme.system.text
    palette.button: Theme.system.button
    palette.buttonText: Theme.system.buttonText
    palette.highlight: Theme.system.highlight
    palette.highlightedText: Theme.system.highlightedText
    palette.light: Theme.system.light
    palette.midlight: Theme.system.midlight
    palette.mid: Theme.system.mid
    palette.dark: Theme.system.dark
    palette.shadow: Theme.system.shadow
    palette.placeholderText: Theme.system.placeholderText
    palette.toolTipBase: Theme.controlBackground
    palette.toolTipText: Theme.textColor
    palette.disabled.windowText: Theme.systemDisabled.windowText
    palette.disabled.text: Theme.systemDisabled.text
    palette.disabled.buttonText: Theme.systemDisabled.buttonText
    palette.disabled.button: Theme.systemDisabled.button

    FocusRing { host: window.contentItem }
}
