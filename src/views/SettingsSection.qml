import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MorloAI

// One titled group of the settings form.
ColumnLayout {
    id: section

    property string title
    default property alias content: body.data

    Layout.fillWidth: true
    spacing: 6

    Label {
        text: section.title
        font.pixelSize: Theme.subheadlineSize
        font.weight: Font.DemiBold
        color: Theme.secondaryText
        Layout.leftMargin: 4
    }
    Rectangle {
        Layout.fillWidth: true
        implicitHeight: body.implicitHeight + 24
        radius: 8
        color: Theme.controlBackground
        border.color: Theme.separator

        ColumnLayout {
            id: body
            anchors.fill: parent
            anchors.margins: 12
            spacing: 10
        }
    }
}
