import QtQuick

// The assistant's round badge: a soft accent gradient, a thin accent ring and the sparkles.
Rectangle {
    property real diameter: Theme.avatarSize
    property real symbolSize: 12

    width: diameter
    height: diameter
    radius: diameter / 2
    border.color: Theme.withAlpha(Theme.accent, 0.35)
    border.width: 1
    gradient: Gradient {
        GradientStop { position: 0; color: Theme.withAlpha(Theme.accent, 0.22) }
        GradientStop { position: 1; color: Theme.withAlpha(Theme.accentDeep, 0.12) }
    }
    Accessible.ignored: true

    Icon {
        anchors.centerIn: parent
        symbol: "sparkles"
        size: parent.symbolSize * 1.3
        color: Theme.accent
    }
}
