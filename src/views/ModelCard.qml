import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MorloAI

// One catalogue entry, drawn file by file: the first file of a model carries the card's header
// (name, parameter badge, downloaded mark, description, chevron); the files show while the card
// is open.
Item {
    id: card

    required property QtObject modelManager
    required property QtObject serverManager
    required property string modelId
    required property bool isExpanded
    required property bool isFirstOfModel
    required property string displayName
    required property string description
    required property string parameterCount
    required property bool hasDownloadedVariant
    required property int sourceRow
    required property var row

    signal toggle()

    implicitHeight: column.implicitHeight + (isFirstOfModel ? 6 : 0)
    height: implicitHeight

    Rectangle {
        anchors.fill: parent
        anchors.topMargin: card.isFirstOfModel ? 6 : 0
        color: Theme.controlBackground
        radius: card.isFirstOfModel ? 8 : 0
    }

    ColumnLayout {
        id: column
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.topMargin: card.isFirstOfModel ? 6 : 0
        anchors.leftMargin: 12
        anchors.rightMargin: 12
        spacing: 0

        AbstractButton {
            objectName: "modelCard_" + card.displayName
            Accessible.name: card.displayName
            visible: card.isFirstOfModel
            Layout.fillWidth: true
            topPadding: 6
            bottomPadding: 6
            onClicked: card.toggle()
            contentItem: RowLayout {
                spacing: 12
                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 3
                    RowLayout {
                        spacing: 6
                        Label {
                            text: card.displayName
                            font.pixelSize: Theme.headlineSize
                            font.weight: Font.DemiBold
                        }
                        Label {
                            // A file of the user's may not say its size.
                            visible: card.parameterCount !== ""
                            text: card.parameterCount
                            font.pixelSize: Theme.captionSize
                            color: Theme.accent
                            leftPadding: 6
                            rightPadding: 6
                            topPadding: 2
                            bottomPadding: 2
                            background: Rectangle {
                                radius: 4
                                color: Theme.withAlpha(Theme.accent, 0.15)
                            }
                        }
                        Icon {
                            objectName: "downloadedMark"
                            visible: card.hasDownloadedVariant
                            symbol: "checkmark.circle.fill"
                            color: Theme.green
                            size: Theme.captionSize
                        }
                    }
                    Label {
                        Layout.fillWidth: true
                        text: card.description
                        wrapMode: Text.WordWrap
                        font.pixelSize: Theme.subheadlineSize
                        color: Theme.secondaryText
                    }
                    // A catalogue file that comes from another repository says so.
                    Label {
                        objectName: "sourceRepoLabel"
                        visible: card.row.sourceRepo !== ""
                        text: "From " + card.row.sourceRepo
                        font.pixelSize: Theme.captionSize
                        color: Theme.secondaryText
                    }
                }
                Icon {
                    symbol: card.isExpanded ? "chevron.up" : "chevron.down"
                    size: Theme.captionSize
                }
            }
        }

        Divider {
            visible: card.isExpanded && card.isFirstOfModel
            Layout.fillWidth: true
            Layout.topMargin: 4
            Layout.bottomMargin: 4
        }

        VariantRow {
            visible: card.isExpanded
            Layout.fillWidth: true
            Layout.bottomMargin: 6
            modelManager: card.modelManager
            serverManager: card.serverManager
            rowIndex: card.sourceRow
            quantization: card.row.quantization
            qualityLabel: card.row.qualityLabel
            sizeLabel: card.row.sizeLabel
            exceedsAvailableRAM: card.row.exceedsAvailableRAM
            isDownloaded: card.row.isDownloaded
            isDownloading: card.row.isDownloading
            downloadProgress: card.row.downloadProgress
            progressText: card.row.progressText
            hasStartTime: card.row.hasStartTime
            remainingTimeText: card.row.remainingTimeText
            localPath: card.row.localPath
            isMissing: card.row.isMissing
            origin: card.row.origin
        }
    }
}
