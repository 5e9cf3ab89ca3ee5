import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MorloAI

// How every failed download is told, wherever it happened (a model file, the engine): a card
// with what went wrong, what usually helps, and Retry, which starts the same download again.
// `dismissible` adds "OK" for failures that stay until the user has read them.
CardBackground {
    id: notice

    property string title: "Download Error"
    property string message
    property bool canRetry: true
    property bool dismissible: false

    signal retryRequested()
    signal dismissed()

    implicitWidth: 360
    implicitHeight: content.implicitHeight + 24
    border.color: Theme.withAlpha(Theme.orange, 0.5)

    RowLayout {
        id: content
        anchors.fill: parent
        anchors.margins: 12
        spacing: 10

        Icon {
            Layout.alignment: Qt.AlignTop
            symbol: "exclamationmark.triangle.fill"
            color: Theme.orange
            size: 16
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 4
            Label {
                objectName: "downloadErrorTitle"
                Layout.fillWidth: true
                text: notice.title
                font.pixelSize: Theme.headlineSize
                font.weight: Font.DemiBold
                color: Theme.textColor
                wrapMode: Text.Wrap
            }
            Label {
                objectName: "downloadErrorMessage"
                Layout.fillWidth: true
                text: notice.message
                font.pixelSize: Theme.subheadlineSize
                color: Theme.textColor
                wrapMode: Text.WrapAtWordBoundaryOrAnywhere
            }
            // Not repeated when the failure already says it.
            Label {
                objectName: "downloadErrorHint"
                Layout.fillWidth: true
                visible: ModelLibraryRules.showsConnectionHint(notice.message)
                text: "Check your connection"
                font.pixelSize: Theme.captionSize
                color: Theme.secondaryText
                wrapMode: Text.Wrap
            }
            RowLayout {
                Layout.alignment: Qt.AlignRight
                spacing: 8
                Button {
                    objectName: "downloadErrorOkButton"
                    visible: notice.dismissible
                    text: "OK"
                    Accessible.name: text
                    onClicked: notice.dismissed()
                }
                Button {
                    objectName: "downloadRetryButton"
                    visible: notice.canRetry
                    text: "Retry"
                    Accessible.name: text
                    icon.source: SymbolIcons.source("arrow.clockwise", Theme.accent)
                    onClicked: notice.retryRequested()
                }
            }
        }
    }
}
