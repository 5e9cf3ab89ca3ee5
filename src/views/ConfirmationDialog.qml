import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MorloAI

// A modal question with a destructive action and Cancel, drawn as a card. Cancel has the
// focus, so Enter or Escape at once never destroys anything. With `offersDontAsk` a
// "Don't ask again" box is shown; its state comes with `confirmed`.
Dialog {
    id: dialog

    property string message
    property string confirmText
    property bool offersDontAsk: false

    signal confirmed(bool dontAskAgain)

    modal: true
    anchors.centerIn: Overlay.overlay
    width: 360
    padding: 20
    topPadding: 16

    Overlay.modal: Rectangle { color: Theme.backdrop }
    background: CardBackground {}
    header: Label {
        text: dialog.title
        visible: text !== ""
        padding: 20
        bottomPadding: 0
        font.pixelSize: Theme.headlineSize
        font.weight: Font.DemiBold
        wrapMode: Text.Wrap
    }
    onOpened: cancelButton.forceActiveFocus(Qt.PopupFocusReason)

    contentItem: ColumnLayout {
        spacing: 12
        Label {
            Layout.fillWidth: true
            text: dialog.message
            visible: text !== ""
            wrapMode: Text.Wrap
            color: Theme.secondaryText
        }
        CheckBox {
            id: dontAsk
            objectName: dialog.objectName + "DontAsk"
            visible: dialog.offersDontAsk
            text: "Don't ask again"
        }
    }
    footer: DialogButtonBox {
        padding: 16
        background: null
        Button {
            id: cancelButton
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
                dialog.confirmed(dontAsk.checked)
                dialog.close()
            }
        }
    }
}
