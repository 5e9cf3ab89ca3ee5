import QtQuick
import QtQuick.Controls
import QtQuick.Dialogs
import QtQuick.Layouts
import MorloAI

// Getting llama.cpp's own build: which build will be fetched and its size, the download with
// its progress and Cancel, the install steps, what went wrong, and the other ways to an engine
// (a llama-server already on this computer, Homebrew, looking again).
ColumnLayout {
    id: panel

    required property QtObject serverManager
    readonly property QtObject installer: serverManager.engineInstaller
    readonly property string phase: installer.phase
    // The button that starts a download, and its title.
    property bool showAction: true
    property string actionTitle: "Download llama.cpp"
    property bool showOtherWays: true
    property bool otherWaysOpen: false

    spacing: 8

    Button {
        objectName: "downloadEngineButton"
        visible: panel.showAction && (panel.phase === "idle" || panel.phase === "checking")
        enabled: panel.phase === "idle"
        highlighted: true
        text: panel.actionTitle
        icon.source: SymbolIcons.source("arrow.down.doc.fill", "white")
        Layout.alignment: Qt.AlignHCenter
        onClicked: panel.installer.start()
    }
    Label {
        objectName: "engineOffer"
        visible: panel.showAction && (panel.phase === "checking" || panel.installer.offerText !== "")
        text: panel.phase === "checking" ? "Looking for the latest release…" : panel.installer.offerText
        font.pixelSize: Theme.captionSize
        color: Theme.secondaryText
        Layout.alignment: Qt.AlignHCenter
    }

    ColumnLayout {
        visible: panel.phase === "downloading"
        spacing: 4
        Layout.alignment: Qt.AlignHCenter
        ProgressBar {
            objectName: "engineProgress"
            value: panel.installer.progress
            Layout.preferredWidth: 300
        }
        RowLayout {
            spacing: 8
            Label {
                objectName: "engineProgressText"
                text: panel.installer.progressText
                font.pixelSize: Theme.captionSize
                color: Theme.secondaryText
            }
            Label {
                // Read again whenever the progress moves.
                text: panel.installer.progress >= 0 ? panel.installer.remainingTimeText() : ""
                font.pixelSize: Theme.captionSize
                color: Theme.secondaryText
            }
            Item { Layout.fillWidth: true }
            Button {
                objectName: "cancelEngineButton"
                text: "Cancel"
                flat: true
                onClicked: panel.installer.cancel()
            }
        }
    }

    RowLayout {
        visible: panel.phase === "installing"
        spacing: 8
        Layout.alignment: Qt.AlignHCenter
        BusyIndicator { running: parent.visible; implicitWidth: 18; implicitHeight: 18 }
        Label {
            objectName: "engineStep"
            text: panel.installer.stepText
            font.pixelSize: Theme.subheadlineSize
            color: Theme.textColor
        }
    }

    DownloadErrorNotice {
        objectName: "engineFailureNotice"
        visible: panel.phase === "failed"
        title: "The engine could not be set up"
        message: panel.installer.failureMessage
        canRetry: panel.showAction
        Layout.preferredWidth: 360
        Layout.alignment: Qt.AlignHCenter
        onRetryRequested: panel.installer.start()
    }

    RowLayout {
        visible: panel.showOtherWays
        spacing: 4
        Layout.alignment: Qt.AlignHCenter
        Button {
            objectName: "otherWaysButton"
            flat: true
            text: "Other ways…"
            palette.buttonText: Theme.secondaryText
            onClicked: panel.otherWaysOpen = !panel.otherWaysOpen
        }
        Button {
            objectName: "checkAgainButton"
            flat: true
            text: "Check again"
            palette.buttonText: Theme.secondaryText
            onClicked: {
                panel.serverManager.recheckEngine()
                panel.installer.check()
            }
        }
    }
    ColumnLayout {
        visible: panel.showOtherWays && panel.otherWaysOpen
        spacing: 2
        Layout.alignment: Qt.AlignHCenter
        Button {
            objectName: "chooseEngineButton"
            flat: true
            text: "Use a llama-server on this computer…"
            icon.source: SymbolIcons.source("folder", Theme.accent)
            onClicked: engineFileDialog.open()
        }
        Button {
            objectName: "homebrewInstallButton"
            visible: panel.serverManager.isHomebrewInstalled
            flat: true
            text: "Install via Homebrew"
            icon.source: SymbolIcons.source("terminal.fill", Theme.accent)
            onClicked: panel.serverManager.install()
        }
    }

    FileDialog {
        id: engineFileDialog
        objectName: "engineFileDialog"
        title: "Choose llama-server"
        onAccepted: panel.installer.useFile(selectedFile)
    }
}
