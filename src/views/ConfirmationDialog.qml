import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MorloAI

// A modal question with a destructive action and Cancel.
Dialog {
    id: dialog

    property string message
    property string confirmText

    signal confirmed()

    modal: true
    anchors.centerIn: Overlay.overlay
    width: 340

    contentItem: Label {
        width: dialog.availableWidth
        text: dialog.message
        wrapMode: Text.Wrap
        color: Theme.secondaryText
    }
    footer: DialogButtonBox {
        Button {
            objectName: dialog.objectName + "Cancel"
            text: "Cancel"
            DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
        }
        Button {
            objectName: dialog.objectName + "Confirm"
            text: dialog.confirmText
            palette.buttonText: Theme.red
            DialogButtonBox.buttonRole: DialogButtonBox.DestructiveRole
            onClicked: {
                dialog.confirmed()
                dialog.close()
            }
        }
    }
}
