import QtQuick
import QtQuick.Controls
import Qt.labs.platform as Platform
import QtQuick.Layouts
import MorloAI

// The settings form: engine, startup model, generation, sound, export/import and erasing data.
// It only reads and writes the three shared objects.
Item {
    id: settings

    required property QtObject agentState
    required property QtObject serverManager
    required property QtObject modelManager
    // Servers elsewhere (absent where the view is shown without them).
    property QtObject remoteServers: null

    // DeletePhase: 0 idle, 1 deleting, 2 done.
    property int chatDeletePhase: 0
    property int allDeletePhase: 0
    property bool showClearChatsConfirm: false
    property bool showDeleteAllConfirm: false
    // Read from the store, so this view and the other settings view always agree.
    readonly property bool completionSoundEnabled: agentState.completionSoundEnabled
    // While a reply is being written these actions would change the conversation under it.
    readonly property string blockedReason: agentState.changeBlockedReason
    // What the last export or import did, in the user's words, and whether it worked.
    property string transferMessage: ""
    property bool transferFailed: false

    // How long a deletion shows its spinner, then its check mark (tests shorten them).
    property int deletingDelay: 600
    property int doneHold: 1500

    // Re-read whenever a file of the library appears or goes away.
    property int libraryRevision: 0
    readonly property var downloadedModels: libraryRevision >= 0 ? SettingsRules.downloadedModels(modelManager) : []
    readonly property bool autoLoadOn: agentState.autoLoadModelPath !== ""
    readonly property string engineBlock: SettingsRules.engineBlock(
        serverManager.isUninstalling, serverManager.isEngineInstalled,
        serverManager.isHomebrewInstalled, serverManager.brewInstallState,
        serverManager.engineInstaller.canDownload)

    onShowClearChatsConfirmChanged: if (showClearChatsConfirm) clearConfirm.open()
    onShowDeleteAllConfirmChanged: if (showDeleteAllConfirm) deleteAllConfirm.open()

    Component.onCompleted: modelManager.refreshDownloadStatus()

    Connections {
        target: settings.modelManager
        function onVariantChanged() { settings.libraryRevision++ }
    }
    Connections {
        target: settings.modelManager.variantList
        function onModelReset() { settings.libraryRevision++ }
    }

    function storeAutoLoad(pair) {
        SettingsRules.setAutoLoadModel(agentState, pair ? pair.path : "", pair ? pair.label : "")
    }

    // One run of a destructive action: spinner, action, check mark, back to idle. Runs beside
    // any earlier run; each keeps its own timers.
    function runDeletion(setPhase, action) {
        setPhase(1)
        const run = deletionRun.createObject(settings, { setPhase: setPhase, action: action })
        run.start()
    }

    Component {
        id: deletionRun
        QtObject {
            id: run
            property var setPhase
            property var action
            property Timer first: Timer {
                interval: settings.deletingDelay
                onTriggered: {
                    run.action()
                    run.setPhase(2)
                    run.second.start()
                }
            }
            property Timer second: Timer {
                interval: settings.doneHold
                onTriggered: {
                    run.setPhase(0)
                    run.destroy()
                }
            }
            function start() { first.start() }
        }
    }

    function clearHistory() {
        runDeletion(function(p) { settings.chatDeletePhase = p },
                    function() { settings.agentState.clearAllChats() })
    }

    function deleteAllData() {
        runDeletion(function(p) { settings.allDeletePhase = p },
                    function() { DataReset.start(settings.agentState, settings.serverManager, settings.modelManager) })
    }

    ScrollView {
        id: scroll
        objectName: "settingsScroll"
        anchors.fill: parent
        contentWidth: availableWidth

        ColumnLayout {
            width: scroll.availableWidth - 40
            x: 20
            spacing: 18

            Label {
                text: "Settings"
                font.pixelSize: 20
                font.weight: Font.Bold
                color: Theme.textColor
                Layout.topMargin: 18
            }

            SettingsSection {
                title: "Inference Server"

                RowLayout {
                    spacing: 8
                    Rectangle {
                        objectName: "statusDot"
                        width: 8
                        height: 8
                        radius: 4
                        color: settings.serverManager.isRunning ? Theme.green
                             : settings.serverManager.isStarting ? Theme.windowDotYellow
                             : Theme.withAlpha(Theme.secondaryText, 0.4)
                    }
                    Label {
                        objectName: "statusMessage"
                        text: settings.serverManager.statusMessage
                        font.pixelSize: Theme.subheadlineSize
                        color: Theme.textColor
                        Layout.fillWidth: true
                        elide: Text.ElideRight
                    }
                    BusyIndicator {
                        visible: settings.serverManager.isStarting
                        running: visible
                        implicitWidth: 18
                        implicitHeight: 18
                    }
                    Button {
                        objectName: "stopButton"
                        visible: settings.serverManager.isRunning
                        text: "Stop"
                        palette.buttonText: Theme.red
                        onClicked: settings.serverManager.stop()
                    }
                }

                Loader {
                    objectName: "engineBlock"
                    Layout.fillWidth: true
                    // A new block per identity: each state is built fresh, not morphed.
                    sourceComponent: {
                        switch (settings.engineBlock) {
                        case "uninstalling": return uninstallingBlock
                        case "installed": return installedBlock
                        case "download": return downloadBlock
                        case "homebrewMissing": return homebrewMissingBlock
                        case "installing": return installingBlock
                        case "succeeded": return succeededBlock
                        case "failed": return failedBlock
                        default: return idleBlock
                        }
                    }
                }

                ColumnLayout {
                    visible: settings.serverManager.lastLaunchError !== ""
                    spacing: 2
                    Layout.fillWidth: true
                    Label {
                        text: "Last launch error:"
                        font.pixelSize: Theme.captionSize
                        color: Theme.red
                    }
                    TextEdit {
                        objectName: "lastLaunchError"
                        text: settings.serverManager.lastLaunchError
                        readOnly: true
                        selectByMouse: true
                        wrapMode: TextEdit.Wrap
                        font.family: Theme.monospaceFamily
                        font.pixelSize: Theme.captionSize
                        color: Theme.secondaryText
                        Layout.fillWidth: true
                    }
                }
            }

            Loader {
                objectName: "serversLoader"
                Layout.fillWidth: true
                active: settings.remoteServers !== null
                sourceComponent: ServersSection { remoteServers: settings.remoteServers }
            }

            SettingsSection {
                title: "Startup"

                Label {
                    objectName: "noDownloadedModelHint"
                    visible: settings.downloadedModels.length === 0
                    text: "Download a model to enable auto-loading"
                    font.pixelSize: Theme.subheadlineSize
                    color: Theme.secondaryText
                }
                Switch {
                    objectName: "autoLoadSwitch"
                    visible: settings.downloadedModels.length > 0
                    text: "Auto-load model on launch"
                    checked: settings.autoLoadOn
                    onToggled: settings.storeAutoLoad(checked ? settings.downloadedModels[0] : null)
                }
                RowLayout {
                    visible: settings.downloadedModels.length > 0 && settings.autoLoadOn
                    spacing: 8
                    Label {
                        text: "Model"
                        color: Theme.textColor
                    }
                    ComboBox {
                        objectName: "autoLoadPicker"
                        Accessible.name: "Model to load at start"
                        Layout.fillWidth: true
                        model: settings.downloadedModels
                        textRole: "label"
                        valueRole: "path"
                        currentIndex: SettingsRules.indexOfPath(settings.downloadedModels, settings.agentState.autoLoadModelPath)
                        displayText: currentIndex < 0 ? "" : currentText
                        onActivated: index => settings.storeAutoLoad(settings.downloadedModels[index])
                    }
                }
            }

            SettingsSection {
                title: "Generation"

                RowLayout {
                    spacing: 8
                    Label {
                        text: "Temperature"
                        color: Theme.textColor
                    }
                    Slider {
                        objectName: "temperatureSlider"
                        Accessible.name: "Temperature"
                        Layout.fillWidth: true
                        from: 0.0
                        to: 2.0
                        stepSize: 0.05
                        snapMode: Slider.SnapAlways
                        value: settings.agentState.temperature
                        onMoved: {
                            settings.agentState.temperature = value
                            settings.agentState.save()
                        }
                    }
                    Label {
                        objectName: "temperatureValue"
                        text: SettingsRules.temperatureText(settings.agentState.temperature)
                        font.family: Theme.monospaceFamily
                        color: Theme.textColor
                        horizontalAlignment: Text.AlignRight
                        Layout.preferredWidth: 40
                    }
                }
                RowLayout {
                    spacing: 8
                    Label {
                        text: "Max Tokens"
                        color: Theme.textColor
                        Layout.fillWidth: true
                    }
                    TextField {
                        id: maxTokensField
                        objectName: "maxTokensField"
                        Layout.preferredWidth: 80
                        horizontalAlignment: Text.AlignRight
                        text: String(settings.agentState.maxTokens)
                        onTextEdited: {
                            const value = SettingsRules.parseMaxTokens(text)
                            if (value === null || value === undefined)
                                return
                            settings.agentState.maxTokens = value
                            settings.agentState.save()
                        }
                        // Text that is not a number is not kept once the field is left.
                        onEditingFinished: text = String(settings.agentState.maxTokens)
                    }
                }
            }

            SettingsSection {
                title: "Notifications"

                Switch {
                    objectName: "completionSoundSwitch"
                    text: "Play sound when response completes"
                    checked: settings.completionSoundEnabled
                    onToggled: settings.agentState.completionSoundEnabled = checked
                }
            }

            SettingsSection {
                title: "Privacy"

                Switch {
                    objectName: "askBeforeClipboardSwitch"
                    text: "Ask before reading the clipboard"
                    checked: settings.agentState.askBeforeReadingClipboard
                    onToggled: settings.agentState.askBeforeReadingClipboard = checked
                }
            }

            SettingsSection {
                title: "Export & Import"

                RowLayout {
                    spacing: 10
                    Button {
                        objectName: "exportButton"
                        text: "Export Chats"
                        icon.source: SymbolIcons.source("square.and.arrow.up", Theme.accent)
                        onClicked: exportDialog.open()
                    }
                    Button {
                        objectName: "importButton"
                        text: "Import Chats"
                        enabled: settings.blockedReason === ""
                        icon.source: SymbolIcons.source("square.and.arrow.down", Theme.accent)
                        onClicked: importDialog.open()
                    }
                }
                Label {
                    objectName: "importBlockedReason"
                    visible: settings.blockedReason !== ""
                    text: settings.blockedReason
                    font.pixelSize: Theme.captionSize
                    color: Theme.secondaryText
                }
                Label {
                    objectName: "transferMessage"
                    visible: settings.transferMessage !== ""
                    text: settings.transferMessage
                    font.pixelSize: Theme.captionSize
                    color: settings.transferFailed ? Theme.red : Theme.secondaryText
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }
            }

            SettingsSection {
                title: "Data"
                Layout.bottomMargin: 18

                DeletionButton {
                    objectName: "clearHistoryButton"
                    text: "Clear Chat History"
                    subtitle: "Removes all conversations. Keeps models and settings."
                    phase: settings.chatDeletePhase
                    enabled: settings.blockedReason === ""
                    onClicked: settings.showClearChatsConfirm = true
                }
                DeletionButton {
                    objectName: "deleteAllButton"
                    text: "Delete All Data"
                    subtitle: "Removes all conversations, settings, and downloaded models."
                    phase: settings.allDeletePhase
                    enabled: settings.blockedReason === ""
                    onClicked: settings.showDeleteAllConfirm = true
                }
                Label {
                    objectName: "dataBlockedReason"
                    visible: settings.blockedReason !== ""
                    text: settings.blockedReason
                    font.pixelSize: Theme.captionSize
                    color: Theme.secondaryText
                }
            }
        }
    }

    Component {
        id: uninstallingBlock
        RowLayout {
            spacing: 8
            BusyIndicator { running: true; implicitWidth: 18; implicitHeight: 18 }
            Label { text: "Uninstalling…"; color: Theme.textColor }
        }
    }
    Component {
        id: installedBlock
        ColumnLayout {
            id: installedColumn
            spacing: 6
            readonly property QtObject installer: settings.serverManager.engineInstaller
            RowLayout {
                spacing: 6
                Icon { symbol: "checkmark.circle.fill"; color: Theme.green; size: 14 }
                Label {
                    objectName: "engineReadyText"
                    text: "llama.cpp ready (" + settings.serverManager.engineSource + ")"
                    color: Theme.textColor
                }
            }
            TextEdit {
                objectName: "enginePath"
                text: settings.serverManager.engineExecutablePath
                readOnly: true
                selectByMouse: true
                wrapMode: TextEdit.WrapAnywhere
                font.family: Theme.monospaceFamily
                font.pixelSize: Theme.captionSize
                color: Theme.secondaryText
                Layout.fillWidth: true
            }
            // Releases of llama.cpp's own build: the one installed, the latest, an update.
            RowLayout {
                visible: installedColumn.installer.canDownload
                spacing: 8
                Button {
                    objectName: "checkUpdatesButton"
                    text: "Check for Updates"
                    enabled: installedColumn.installer.phase === "idle" || installedColumn.installer.phase === "failed"
                    onClicked: {
                        settings.serverManager.recheckEngine()
                        installedColumn.installer.check()
                    }
                }
                Label {
                    objectName: "engineVersions"
                    visible: installedColumn.installer.latestTag !== ""
                    text: "Installed: " + (installedColumn.installer.installedTag || "none") + " · Latest: " + installedColumn.installer.latestTag
                    font.pixelSize: Theme.captionSize
                    color: Theme.secondaryText
                }
                Button {
                    objectName: "updateEngineButton"
                    visible: installedColumn.installer.updateAvailable && installedColumn.installer.phase === "idle"
                    highlighted: true
                    text: (installedColumn.installer.installedTag !== "" ? "Update to " : "Download ") + installedColumn.installer.latestTag
                    onClicked: installedColumn.installer.start()
                }
            }
            EngineDownloadPanel {
                visible: phase !== "idle" && phase !== "checking"
                serverManager: settings.serverManager
                showAction: false
                showOtherWays: false
                Layout.alignment: Qt.AlignLeft
            }
            ActionRow {
                objectName: "uninstallButton"
                visible: settings.serverManager.canUninstallEngine
                symbol: "trash"
                tint: Theme.red
                text: "Uninstall llama.cpp"
                subtitle: SettingsRules.uninstallSubtitle(settings.serverManager.engineSourceKey)
                onClicked: settings.serverManager.removeEngine()
            }
        }
    }
    Component {
        id: downloadBlock
        ColumnLayout {
            spacing: 6
            RowLayout {
                spacing: 6
                Icon { symbol: "exclamationmark.circle.fill"; color: Theme.orange; size: 14 }
                Label { text: "llama.cpp is not installed"; color: Theme.textColor }
            }
            EngineDownloadPanel {
                objectName: "engineDownloadPanel"
                serverManager: settings.serverManager
                Layout.alignment: Qt.AlignLeft
                // Asked once: the releases API allows few requests an hour without an account.
                Component.onCompleted: if (phase === "idle" && installer.latestTag === "") installer.check()
            }
        }
    }
    Component {
        id: homebrewMissingBlock
        ColumnLayout {
            spacing: 6
            RowLayout {
                spacing: 6
                Icon { symbol: "exclamationmark.triangle.fill"; color: Theme.orange; size: 14 }
                Label { text: "Homebrew not found"; color: Theme.textColor }
            }
            Label {
                text: "Morlo AI requires Homebrew to install the AI engine. Open Terminal and run:"
                font.pixelSize: Theme.captionSize
                color: Theme.secondaryText
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
            TextEdit {
                objectName: "homebrewCommand"
                text: PlatformTexts.homebrewInstallCommand()
                readOnly: true
                selectByMouse: true
                // Breaks between the command's words; only a word wider than the box is cut.
                wrapMode: TextEdit.Wrap
                font.family: Theme.monospaceFamily
                font.pixelSize: Theme.captionSize
                color: Theme.textColor
                Layout.fillWidth: true
            }
        }
    }
    Component {
        id: idleBlock
        ActionRow {
            objectName: "installButton"
            symbol: "terminal.fill"
            text: "Install via Homebrew"
            subtitle: PlatformTexts.installSubtitle()
            onClicked: settings.serverManager.install()
        }
    }
    Component {
        id: installingBlock
        ColumnLayout {
            spacing: 6
            RowLayout {
                spacing: 8
                BusyIndicator { running: true; implicitWidth: 18; implicitHeight: 18 }
                Label { text: "Installing via Homebrew…"; color: Theme.textColor }
            }
            BrewOutputLog {
                objectName: "brewOutputLog"
                text: settings.serverManager.brewOutput
                maximumHeight: 120
                Layout.fillWidth: true
            }
        }
    }
    Component {
        id: succeededBlock
        ColumnLayout {
            spacing: 2
            RowLayout {
                spacing: 6
                Icon { symbol: "checkmark.circle.fill"; color: Theme.green; size: 14 }
                Label { text: "llama.cpp installed successfully"; color: Theme.textColor }
            }
            Label {
                text: "Restart the app or load a model to get started."
                font.pixelSize: Theme.captionSize
                color: Theme.secondaryText
            }
        }
    }
    Component {
        id: failedBlock
        ColumnLayout {
            spacing: 4
            RowLayout {
                spacing: 6
                Icon { symbol: "exclamationmark.triangle.fill"; color: Theme.orange; size: 14 }
                Label { text: "Homebrew install failed"; color: Theme.textColor }
            }
            Label {
                objectName: "installFailure"
                text: settings.serverManager.brewInstallMessage
                font.pixelSize: Theme.captionSize
                color: Theme.secondaryText
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
            Button {
                objectName: "retryInstallButton"
                text: "Try Again"
                icon.source: SymbolIcons.source("arrow.clockwise", Theme.accent)
                onClicked: settings.serverManager.install()
            }
        }
    }

    function showTransfer(outcome) {
        transferFailed = !outcome.ok
        transferMessage = outcome.message
    }

    // The desktop's own file dialogs where it has them, Qt's otherwise; both start in the
    // documents folder, or home on an account without one.
    Platform.FileDialog {
        id: exportDialog
        objectName: "exportDialog"
        title: "Export Chats"
        fileMode: Platform.FileDialog.SaveFile
        acceptLabel: "Save"
        nameFilters: ["JSON (*.json)"]
        defaultSuffix: "json"
        folder: ChatTransfer.defaultFolder()
        currentFile: ChatTransfer.defaultExportFile()
        onAccepted: settings.showTransfer(ChatTransfer.exportChats(settings.agentState, file))
    }
    Platform.FileDialog {
        id: importDialog
        objectName: "importDialog"
        title: "Import Chats"
        fileMode: Platform.FileDialog.OpenFile
        acceptLabel: "Import"
        nameFilters: ["JSON (*.json)", "All files (*)"]
        folder: ChatTransfer.defaultFolder()
        onAccepted: settings.showTransfer(ChatTransfer.importChats(settings.agentState, file))
    }

    ConfirmationDialog {
        id: clearConfirm
        objectName: "clearConfirm"
        title: "Clear all chat history?"
        message: "This cannot be undone."
        confirmText: "Clear History"
        onConfirmed: settings.clearHistory()
        onClosed: settings.showClearChatsConfirm = false
    }
    ConfirmationDialog {
        id: deleteAllConfirm
        objectName: "deleteAllConfirm"
        title: "Delete all data including models?"
        message: "All downloaded models will be deleted. This cannot be undone."
        confirmText: "Delete Everything"
        onConfirmed: settings.deleteAllData()
        onClosed: settings.showDeleteAllConfirm = false
    }
}
