import QtQuick
import QtQuick.Layouts

// A thin full-width separator line.
Rectangle {
    Layout.fillWidth: true
    implicitHeight: 1
    implicitWidth: 1
    color: Theme.separator
}
