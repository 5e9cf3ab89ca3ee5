pragma Singleton
import QtQuick

// The shared look of every view: colours that follow the desktop's light or dark palette, the
// type scale, spacings and animation times. Sizes are device-independent pixels.
QtObject {
    id: theme

    readonly property SystemPalette system: SystemPalette { colorGroup: SystemPalette.Active }
    readonly property SystemPalette systemDisabled: SystemPalette { colorGroup: SystemPalette.Disabled }
    readonly property bool dark: system.window.hslLightness < 0.5

    // Colours
    readonly property color accent: dark ? "#0a84ff" : "#007aff"
    readonly property color accentDeep: dark ? "#5e5ce6" : "#5856d6"
    readonly property color windowBackground: system.window
    readonly property color controlBackground: dark ? Qt.lighter(system.window, 1.35) : system.base
    readonly property color textColor: system.windowText
    readonly property color secondaryText: Qt.rgba(textColor.r, textColor.g, textColor.b, 0.55)
    readonly property color placeholderText: Qt.rgba(textColor.r, textColor.g, textColor.b, 0.35)
    readonly property color separator: Qt.rgba(textColor.r, textColor.g, textColor.b, dark ? 0.16 : 0.12)
    readonly property color faintFill: Qt.rgba(textColor.r, textColor.g, textColor.b, dark ? 0.07 : 0.045)
    readonly property color red: dark ? "#ff453a" : "#ff3b30"
    readonly property color orange: dark ? "#ff9f0a" : "#ff9500"
    readonly property color green: dark ? "#30d158" : "#28a745"
    readonly property color blue: dark ? "#0a84ff" : "#007aff"
    readonly property color windowDotRed: Qt.rgba(1.0, 0.37, 0.34, 1)
    readonly property color windowDotYellow: Qt.rgba(0.99, 0.74, 0.18, 1)
    readonly property color windowDotGreen: Qt.rgba(0.16, 0.78, 0.25, 1)

    readonly property color cardBackground: dark ? Qt.lighter(system.window, 1.2) : system.base
    // What a modal sheet or dialog dims behind itself.
    readonly property color backdrop: Qt.rgba(0, 0, 0, dark ? 0.5 : 0.28)
    // Text on an accent-filled button.
    readonly property color onAccentText: system.highlightedText
    readonly property color focusRing: withAlpha(accent, 0.85)

    function withAlpha(c, a) { return Qt.rgba(c.r, c.g, c.b, a) }

    // Type scale
    readonly property string fontFamily: Qt.application.font.family
    readonly property string monospaceFamily: "DejaVu Sans Mono"
    readonly property real bodySize: 13
    readonly property real calloutSize: 12
    readonly property real subheadlineSize: 11.5
    readonly property real captionSize: 10.5
    readonly property real headlineSize: 13.5
    readonly property real codeSize: 12.5
    function headingSize(level) { return level === 1 ? 20 : level === 2 ? 17 : 15 }
    function headingWeight(level) { return level <= 2 ? Font.Bold : Font.DemiBold }

    // Spacings and shapes
    readonly property real messageSpacing: 24
    readonly property real contentInset: 22
    readonly property real avatarSize: 30
    readonly property real bubbleRadius: 20
    readonly property real inputRadius: 18
    readonly property real cardRadius: 12
    readonly property real codeRadius: 10
    readonly property real userGap: 60
    readonly property real focusRingWidth: 2

    // Window layout: the smallest window that shows every control whole, the sidebar's width and
    // the window width below which it hides by itself, and the widest a message column grows
    // (wider lines are hard to read).
    readonly property int minimumWindowWidth: 720
    readonly property int minimumWindowHeight: 480
    readonly property real sidebarWidth: 250
    readonly property real sidebarCollapseWidth: 900
    readonly property real readableWidth: 760

    // Animation times (ms)
    readonly property int hoverDuration: 120
    readonly property int springDuration: 220
    readonly property int scrollDuration: 150
    readonly property int speedFadeDuration: 400
    readonly property int typingStep: 300
    readonly property int bannerLifetime: 2500
    readonly property int bubbleCopyConfirmation: 1500
    readonly property int codeCopyConfirmation: 2000
}
