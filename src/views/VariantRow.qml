import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MorloAI

// One downloadable file of a model: its quantisation, quality and size, and what can be done
// with it now (download, watch and cancel, load, or see it loaded; delete when present).
RowLayout {
    id: row

    required property QtObject modelManager
    required property QtObject serverManager
    required property int rowIndex
    required property string quantization
    required property string qualityLabel
    required property string sizeLabel
    required property bool exceedsAvailableRAM
    required property bool isDownloaded
    required property bool isDownloading
    required property real downloadProgress
    required property string progressText
    required property bool hasStartTime
    required property string remainingTimeText
    required property string localPath
    // A file the user opened that is no longer where it was.
    required property bool isMissing
    // "catalog", "file" or "hub": a hub file not on disk can be forgotten.
    required property string origin

    readonly property string action: isMissing ? "missing" : ModelLibraryRules.variantAction(
        isDownloading, isDownloaded, serverManager.isRunning, serverManager.activeModelPath, localPath)

    objectName: "variantRow_" + quantization
    spacing: 8

    ColumnLayout {
        Layout.fillWidth: true
        spacing: 1
        // Takes the free width, so the controls sit at the right end.
        Label {
            Layout.fillWidth: true
            text: row.quantization
            font.pixelSize: Theme.subheadlineSize
            font.bold: true
        }
        Label {
            text: row.qualityLabel
            font.pixelSize: Theme.captionSize
            color: Theme.secondaryText
        }
        RowLayout {
            spacing: 4
            Label {
                text: row.sizeLabel
                font.pixelSize: Theme.captionSize
                color: Theme.secondaryText
            }
            Icon {
                objectName: "memoryWarning"
                visible: row.exceedsAvailableRAM
                symbol: "exclamationmark.triangle.fill"
                color: Theme.orange
                size: 9
                HoverHandler { id: warningHover }
                ToolTip.visible: warningHover.hovered
                ToolTip.text: row.modelManager.memoryWarningText()
            }
        }
    }

    // Downloading: the progress, the remaining time and a cancel control.
    ColumnLayout {
        visible: row.action === "progress"
        spacing: 3
        ProgressBar {
            objectName: "downloadProgress"
            Layout.preferredWidth: 100
            Layout.alignment: Qt.AlignRight
            from: 0
            to: 1
            value: row.downloadProgress
        }
        Label {
            objectName: "progressText"
            Layout.alignment: Qt.AlignRight
            text: row.progressText
            font.pixelSize: 10
            font.family: Theme.monospaceFamily
            color: Theme.secondaryText
        }
        Label {
            objectName: "remainingTimeText"
            Layout.alignment: Qt.AlignRight
            visible: row.hasStartTime
            text: row.remainingTimeText
            font.pixelSize: 9
            color: Theme.withAlpha(Theme.secondaryText, Theme.secondaryText.a * 0.7)
        }
    }
    IconButton {
        objectName: "cancelButton"
        Accessible.name: "Cancel"
        visible: row.action === "progress"
        symbol: "xmark.circle"
        onClicked: row.modelManager.variantList.cancel(row.rowIndex)
    }

    Label {
        objectName: "loadedLabel"
        visible: row.action === "loaded"
        text: "Loaded"
        font.pixelSize: Theme.captionSize
        color: Theme.green
        leftPadding: loadedIcon.width + 3
        Icon {
            id: loadedIcon
            anchors.verticalCenter: parent.verticalCenter
            symbol: "bolt.fill"
            color: Theme.green
            size: Theme.captionSize
        }
    }
    Button {
        objectName: "loadButton"
        visible: row.action === "load"
        text: "Load"
        Accessible.name: text
        highlighted: true
        enabled: !row.serverManager.isStarting
        font.pixelSize: Theme.captionSize
        onClicked: row.modelManager.variantList.load(row.rowIndex)
    }
    IconButton {
        objectName: "deleteButton"
        Accessible.name: "Delete"
        visible: row.action === "load" || row.action === "loaded"
        symbol: "trash"
        tint: Theme.red
        onClicked: row.modelManager.variantList.remove(row.rowIndex)
    }

    Label {
        objectName: "fileNotFoundLabel"
        visible: row.action === "missing"
        text: "File not found"
        font.pixelSize: Theme.captionSize
        color: Theme.orange
    }
    Button {
        objectName: "removeMissingButton"
        visible: row.action === "missing"
        text: "Remove"
        font.pixelSize: Theme.captionSize
        onClicked: row.modelManager.variantList.remove(row.rowIndex)
    }

    Button {
        objectName: "downloadButton"
        visible: row.action === "download"
        text: "Download"
        Accessible.name: text
        font.pixelSize: Theme.captionSize
        onClicked: row.modelManager.variantList.download(row.rowIndex)
    }
    Button {
        objectName: "removeFromLibraryButton"
        visible: row.action === "download" && row.origin === "hub"
        text: "Remove from Library"
        font.pixelSize: Theme.captionSize
        onClicked: row.modelManager.variantList.removeFromLibrary(row.rowIndex)
    }
}
