import QtQuick
import MorloAI
import QtQuick.Controls
import QtQuick.Layouts

// Fenced code: a header with the window dots, the language and a copy chip, then the code in a
// monospaced font that scrolls sideways instead of wrapping.
Rectangle {
    id: codeBlock

    property string code
    property string language
    property bool copied: false
    readonly property string shownCode: ChatRules.trimLineBreaks(code)

    implicitHeight: column.implicitHeight
    radius: Theme.codeRadius
    color: Theme.faintFill
    border.color: Theme.separator
    border.width: 1
    clip: true

    ColumnLayout {
        id: column
        width: parent.width
        spacing: 0

        RowLayout {
            Layout.fillWidth: true
            Layout.margins: 8
            Layout.leftMargin: 12
            spacing: 5
            Repeater {
                model: [Theme.windowDotRed, Theme.windowDotYellow, Theme.windowDotGreen]
                Rectangle { width: 9; height: 9; radius: 4.5; color: modelData }
            }
            Label {
                objectName: "codeLanguage"
                visible: codeBlock.language !== ""
                text: codeBlock.language
                leftPadding: 4
                font.pixelSize: 11
                font.weight: Font.Medium
                color: Theme.secondaryText
            }
            Item { Layout.fillWidth: true }
            AbstractButton {
                id: copyButton
                objectName: "codeCopyButton"
                Accessible.name: codeBlock.copied ? "Copied!" : "Copy"
                hoverEnabled: true
                focusPolicy: Qt.StrongFocus
                padding: 4
                leftPadding: 7
                rightPadding: 7
                background: Rectangle {
                    radius: 5
                    color: copyButton.hovered || copyButton.visualFocus ? Theme.separator : Theme.faintFill
                }
                contentItem: Row {
                    spacing: 4
                    Icon {
                        anchors.verticalCenter: parent.verticalCenter
                        symbol: codeBlock.copied ? "checkmark" : "doc.on.doc"
                        color: codeBlock.copied ? Theme.green : Theme.secondaryText
                        size: 11
                    }
                    Label {
                        objectName: "codeCopyLabel"
                        text: codeBlock.copied ? "Copied!" : "Copy"
                        font.pixelSize: 11
                        font.weight: Font.Medium
                        color: codeBlock.copied ? Theme.green : Theme.secondaryText
                    }
                }
                onClicked: {
                    ChatRules.copyToClipboard(codeBlock.shownCode)
                    codeBlock.copied = true
                    copiedReset.restart()
                }
            }
        }

        Rectangle { Layout.fillWidth: true; height: 1; color: Theme.separator }

        Flickable {
            id: scroller
            objectName: "codeScroller"
            Layout.fillWidth: true
            Layout.preferredHeight: codeText.implicitHeight
            contentWidth: codeText.implicitWidth
            contentHeight: codeText.implicitHeight
            flickableDirection: Flickable.HorizontalFlick
            boundsBehavior: Flickable.StopAtBounds
            clip: true

            TextEdit {
                id: codeText
                objectName: "codeText"
                text: codeBlock.shownCode
                textFormat: TextEdit.PlainText
                readOnly: true
                selectByMouse: true
                wrapMode: TextEdit.NoWrap
                padding: 14
                font.family: Theme.monospaceFamily
                font.pixelSize: Theme.codeSize
                color: Theme.textColor
                selectionColor: Theme.withAlpha(Theme.accent, 0.35)
                Accessible.name: "Code"
            }
        }
    }

    Timer {
        id: copiedReset
        interval: Theme.codeCopyConfirmation
        onTriggered: codeBlock.copied = false
    }
}
