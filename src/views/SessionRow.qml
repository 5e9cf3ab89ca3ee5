import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MorloAI

// One stored conversation in the sidebar: initial badge, title with pin mark, relative date and
// a delete control under the pointer; a right click asks for the context menu.
ItemDelegate {
    id: row

    required property int index
    required property string sessionId
    required property string title
    required property bool isPinned
    required property var updatedAt
    required property bool isActive
    // A turn in progress: the conversation cannot be switched or its active session deleted.
    required property bool busy
    required property bool hoveredRow
    // The row the sidebar's arrow keys are on, while the list has the keyboard.
    property bool keyboardCurrent: false
    // The title is being edited in place.
    property bool editing: false
    // The conversation a reply is being written into stays until the turn has ended.
    readonly property bool deletable: !(busy && isActive)

    signal choose()
    signal togglePin()
    signal remove()
    signal hoverChanged(bool inside)
    signal renamed(string newTitle)
    signal editingCancelled()
    // The list shares one context menu between its rows: a menu per row made every row costly
    // to create while the search narrows and widens the list.
    signal menuRequested()

    objectName: "sessionRow_" + sessionId
    Accessible.name: title
    Accessible.role: Accessible.ListItem
    Accessible.selected: isActive
    // The list takes the keyboard as a whole and moves between rows with the arrows.
    focusPolicy: Qt.NoFocus
    hoverEnabled: true
    highlighted: isActive
    padding: 6
    leftPadding: 8
    rightPadding: 8
    onHoveredChanged: hoverChanged(hovered)
    onClicked: if (!busy) choose()

    background: Rectangle {
        radius: 6
        color: row.isActive ? Theme.withAlpha(Theme.accent, 0.18)
             : row.hovered ? Theme.faintFill : "transparent"
        border.width: row.keyboardCurrent ? Theme.focusRingWidth : 0
        border.color: Theme.focusRing
    }

    contentItem: RowLayout {
        spacing: 8

        Rectangle {
            objectName: "badge"
            Layout.preferredWidth: 28
            Layout.preferredHeight: 28
            radius: 7
            gradient: Gradient {
                GradientStop { position: 0; color: Theme.withAlpha(Theme.accent, 0.22) }
                GradientStop { position: 1; color: Theme.withAlpha(Theme.accentDeep, 0.12) }
            }
            Label {
                anchors.centerIn: parent
                text: SidebarRules.initial(row.title)
                color: Theme.accent
                font.weight: Font.DemiBold
                font.pixelSize: 13
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 1
            // The title takes its natural width, up to what leaves room for the pin mark.
            Item {
                Layout.fillWidth: true
                visible: !row.editing
                implicitHeight: titleLabel.implicitHeight
                Label {
                    id: titleLabel
                    // The implicit width is the whole title's, elided or not.
                    width: Math.min(implicitWidth + 2, parent.width - (row.isPinned ? 14 : 0))
                    text: row.title
                    elide: Text.ElideRight
                    maximumLineCount: 1
                    font.pixelSize: 13
                    font.weight: Font.Medium
                }
                Icon {
                    objectName: "pinMark"
                    x: titleLabel.width + 4
                    anchors.verticalCenter: titleLabel.verticalCenter
                    visible: row.isPinned
                    symbol: row.isPinned ? "pin.fill" : ""
                    size: 10
                    color: Theme.withAlpha(Theme.accent, 0.7)
                }
            }
            // Made only while renaming: Enter keeps the new title, Escape or leaving keeps the old.
            Loader {
                active: row.editing
                visible: active
                Layout.fillWidth: true
                sourceComponent: TextField {
                    objectName: "renameField"
                    Accessible.name: "Title"
                    text: row.title
                    font.pixelSize: 13
                    padding: 2
                    Component.onCompleted: {
                        forceActiveFocus(Qt.OtherFocusReason)
                        selectAll()
                    }
                    onAccepted: row.renamed(text)
                    Keys.onEscapePressed: row.editingCancelled()
                    onActiveFocusChanged: if (!activeFocus && row.editing) row.editingCancelled()
                }
            }
            Label {
                objectName: "relativeDate"
                Layout.fillWidth: true
                text: SidebarRules.relativeDate(row.updatedAt)
                font.pixelSize: 10
                color: Theme.withAlpha(Theme.secondaryText, Theme.secondaryText.a * 0.65)
            }
        }

        // Made when the pointer first comes over the row and dropped once it has faded out:
        // rows are created in numbers while the search narrows and widens the list.
        Loader {
            active: row.hoveredRow || (item !== null && item.opacity > 0)
            visible: active
            sourceComponent: IconButton {
                objectName: "deleteSessionButton"
                Accessible.name: "Delete"
                shown: row.hoveredRow && row.deletable
                symbol: "xmark.circle.fill"
                iconSize: 12
                onClicked: row.remove()
            }
        }
    }

    // Over the row and taking only the right button: the row itself would open the
    // conversation on any button.
    MouseArea {
        anchors.fill: parent
        acceptedButtons: Qt.RightButton
        onClicked: row.menuRequested()
    }
}
