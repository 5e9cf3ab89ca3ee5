import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MorloAI

// The store's notice across the top of the main window: one at a time, with its one action
// and, where the notice allows it, a close button. The store decides what is shown.
Rectangle {
    id: bar
    objectName: "noticeBar"

    required property QtObject agentState
    readonly property string kind: agentState.noticeKind
    readonly property bool warning: kind === "saveFailed" || kind === "readOnly"

    visible: kind !== ""
    implicitHeight: visible ? row.implicitHeight + 16 : 0
    color: Theme.withAlpha(warning ? Theme.red : Theme.orange, 0.14)

    Rectangle {
        anchors.bottom: parent.bottom
        width: parent.width
        height: 1
        color: Theme.separator
    }

    RowLayout {
        id: row
        anchors.fill: parent
        anchors.leftMargin: 14
        anchors.rightMargin: 8
        spacing: 10

        Icon {
            symbol: "exclamationmark.triangle.fill"
            color: bar.warning ? Theme.red : Theme.orange
            size: 14
        }
        TextEdit {
            objectName: "noticeText"
            Layout.fillWidth: true
            text: bar.agentState.noticeText
            readOnly: true
            selectByMouse: true
            wrapMode: TextEdit.Wrap
            font.pixelSize: Theme.calloutSize
            color: Theme.textColor
        }
        Button {
            objectName: "noticeActionButton"
            visible: bar.agentState.noticeAction !== ""
            text: bar.agentState.noticeAction
            onClicked: bar.agentState.performNoticeAction()
        }
        IconButton {
            objectName: "noticeCloseButton"
            shown: bar.agentState.noticeDismissable
            symbol: "xmark.circle.fill"
            toolTipText: "Dismiss"
            Accessible.name: "Dismiss"
            onClicked: bar.agentState.dismissNotice()
        }
    }
}
