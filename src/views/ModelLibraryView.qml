import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MorloAI

// The Models tab: the engine's state with a stop control, a search field and the catalogue as
// cards that open to their files. Everything shown is read from the two managers.
Item {
    id: library
    objectName: "modelLibraryView"

    required property QtObject modelManager
    required property QtObject serverManager
    // Servers elsewhere and which model answers (absent: this computer only).
    property QtObject remoteServers: null
    property QtObject activeEndpoint: null

    property string searchText: ""
    property string expandedModelID: ""
    property bool showsHub: false

    readonly property string title: "Model Library"

    // Files may have been added or removed on disk since the tab was last shown.
    onVisibleChanged: if (visible) modelManager.refreshDownloadStatus()
    Component.onCompleted: if (visible) modelManager.refreshDownloadStatus()

    ModelLibraryFilter {
        id: filtered
        variants: library.modelManager.variantList
        searchText: library.searchText
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        // Engine status bar.
        Rectangle {
            objectName: "engineStatusBar"
            Layout.fillWidth: true
            implicitHeight: statusColumn.implicitHeight + 16
            color: Theme.windowBackground

            ColumnLayout {
                id: statusColumn
                anchors.fill: parent
                anchors.leftMargin: 16
                anchors.rightMargin: 16
                anchors.topMargin: 8
                anchors.bottomMargin: 8
                spacing: 6

                // One height whatever the engine is doing, so nothing below jumps while a
                // model loads: the spinner and Stop fit in it.
                RowLayout {
                    objectName: "engineStatusRow"
                    Layout.fillWidth: true
                    Layout.preferredHeight: 24
                    spacing: 8
                    Rectangle {
                        objectName: "engineStatusDot"
                        Layout.preferredWidth: 8
                        Layout.preferredHeight: 8
                        radius: 4
                        color: (library.activeEndpoint ? library.activeEndpoint.isReady
                                                       : library.serverManager.isRunning) ? Theme.green
                             : library.serverManager.isStarting ? Theme.windowDotYellow
                             : Theme.secondaryText
                    }
                    Label {
                        objectName: "engineStatusMessage"
                        text: library.activeEndpoint ? library.activeEndpoint.statusText
                                                     : library.serverManager.statusMessage
                        font.pixelSize: Theme.captionSize
                    }
                    Item { Layout.fillWidth: true }
                    BusyIndicator {
                        objectName: "startingIndicator"
                        visible: library.serverManager.isStarting
                        running: visible
                        Layout.preferredWidth: 16
                        Layout.preferredHeight: 16
                    }
                    Button {
                        objectName: "stopButton"
                        visible: library.serverManager.isRunning
                        text: "Stop"
                        Accessible.name: text
                        Layout.preferredHeight: 24
                        topPadding: 2
                        bottomPadding: 2
                        font.pixelSize: Theme.captionSize
                        palette.buttonText: Theme.red
                        onClicked: library.serverManager.stop()
                    }
                }

                // The engine's whole log: the lines that explain a failure are often its last,
                // so it opens at the end; it wraps, scrolls and can be copied.
                RowLayout {
                    objectName: "launchErrorStrip"
                    visible: library.serverManager.lastLaunchError !== ""
                    Layout.fillWidth: true
                    spacing: 6
                    ScrollView {
                        id: launchErrorScroll
                        function showEnd() {
                            contentItem.contentY = Math.max(0, contentItem.contentHeight - contentItem.height)
                        }
                        Layout.fillWidth: true
                        Layout.preferredHeight: Math.min(180, launchError.implicitHeight)
                        ScrollBar.horizontal.policy: ScrollBar.AlwaysOff
                        TextArea {
                            id: launchError
                            objectName: "launchErrorText"
                            text: library.serverManager.lastLaunchError
                            readOnly: true
                            selectByMouse: true
                            wrapMode: TextEdit.WrapAtWordBoundaryOrAnywhere
                            color: Theme.red
                            font.family: Theme.monospaceFamily
                            font.pixelSize: 10
                            padding: 2
                            background: null
                            onImplicitHeightChanged: Qt.callLater(launchErrorScroll.showEnd)
                        }
                    }
                    Button {
                        objectName: "copyLaunchErrorButton"
                        Layout.alignment: Qt.AlignTop
                        text: "Copy"
                        Accessible.name: text
                        font.pixelSize: Theme.captionSize
                        onClicked: ChatRules.copyToClipboard(library.serverManager.lastLaunchError)
                    }
                }
            }
        }

        // Search field.
        Rectangle {
            Layout.fillWidth: true
            Layout.leftMargin: 16
            Layout.rightMargin: 16
            Layout.topMargin: 8
            implicitHeight: searchRow.implicitHeight + 16
            radius: 8
            color: Theme.controlBackground

            RowLayout {
                id: searchRow
                anchors.fill: parent
                anchors.margins: 8
                spacing: 6
                Icon { symbol: "magnifyingglass" }
                TextField {
                    objectName: "modelSearchField"
                    Layout.fillWidth: true
                    placeholderText: "Search models…"
                    text: library.searchText
                    onTextEdited: library.searchText = text
                    background: null
                    padding: 0
                }
                IconButton {
                    objectName: "clearModelSearchButton"
                    Accessible.name: "Clear search"
                    visible: library.searchText !== ""
                    symbol: "xmark.circle.fill"
                    padding: 0
                    onClicked: library.searchText = ""
                }
            }
        }

        ServerModelsSection {
            Layout.fillWidth: true
            Layout.leftMargin: 16
            Layout.rightMargin: 16
            Layout.topMargin: 8
            remoteServers: library.remoteServers
            activeEndpoint: library.activeEndpoint
        }

        // Models beyond the catalogue: a file on disk, or any GGUF of the hub.
        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 16
            Layout.rightMargin: 16
            Layout.topMargin: 8
            spacing: 8
            Button {
                objectName: "openModelFileButton"
                text: "Open a GGUF file…"
                font.pixelSize: Theme.captionSize
                onClicked: openFileDialog.open()
            }
            Button {
                objectName: "addFromHubButton"
                text: "Add from the hub"
                checkable: true
                checked: library.showsHub
                font.pixelSize: Theme.captionSize
                onClicked: library.showsHub = !library.showsHub
            }
            Label {
                objectName: "openFileProblem"
                Layout.fillWidth: true
                visible: openFileDialog.problem !== ""
                text: openFileDialog.problem
                color: Theme.red
                elide: Text.ElideRight
                font.pixelSize: Theme.captionSize
            }
        }

        Rectangle {
            visible: library.showsHub
            Layout.fillWidth: true
            Layout.leftMargin: 16
            Layout.rightMargin: 16
            Layout.topMargin: 8
            Layout.maximumHeight: library.height / 2
            implicitHeight: hubScroll.contentHeight + 16
            radius: 8
            color: Theme.controlBackground
            ScrollView {
                id: hubScroll
                anchors.fill: parent
                anchors.margins: 8
                contentWidth: availableWidth
                clip: true
                HubPanel {
                    width: hubScroll.availableWidth
                    browser: library.modelManager.hubBrowser
                }
            }
        }

        // A failed download waits here, above the files, until it is retried or read.
        DownloadErrorNotice {
            objectName: "downloadErrorNotice"
            visible: library.modelManager.lastError !== ""
            Layout.fillWidth: true
            Layout.leftMargin: 16
            Layout.rightMargin: 16
            Layout.topMargin: 8
            message: library.modelManager.lastError
            canRetry: library.modelManager.canRetryDownload
            dismissible: true
            onRetryRequested: library.modelManager.retryDownload()
            onDismissed: library.modelManager.clearLastError()
        }

        ListView {
            id: modelList
            objectName: "modelList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.margins: 16
            Layout.topMargin: 6
            clip: true
            model: filtered
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar {}
            // The user's own files and hub downloads follow the catalogue under one heading.
            section.property: "libraryGroup"
            section.delegate: Label {
                required property string section
                visible: section !== ""
                height: visible ? implicitHeight + 12 : 0
                topPadding: 12
                text: section
                font.pixelSize: Theme.subheadlineSize
                font.bold: true
                color: Theme.secondaryText
            }
            delegate: ModelCard {
                required property var model
                width: ListView.view.width
                modelManager: library.modelManager
                serverManager: library.serverManager
                row: model
                isExpanded: library.expandedModelID === modelId
                onToggle: library.expandedModelID = ModelLibraryRules.toggledModelID(library.expandedModelID, modelId)
            }

            Label {
                objectName: "noMatchLabel"
                parent: modelList
                anchors.centerIn: modelList
                width: modelList.width - 32
                visible: modelList.count === 0 && library.searchText !== ""
                text: "No models match \"" + library.searchText + "\""
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                font.pixelSize: Theme.bodySize
                color: Theme.secondaryText
            }
        }
    }

    OpenModelFileDialog {
        id: openFileDialog
        modelManager: library.modelManager
    }

    // A catalogue file the hub refused was found in another repository: download it from there?
    Dialog {
        objectName: "sourceOfferDialog"
        title: "Download from another repository?"
        anchors.centerIn: parent
        modal: true
        visible: library.modelManager.sourceOffer !== ""
        standardButtons: Dialog.Ok | Dialog.Cancel
        onAccepted: library.modelManager.acceptSourceOffer()
        onRejected: library.modelManager.declineSourceOffer()
        Label {
            objectName: "sourceOfferText"
            text: library.modelManager.sourceOffer
            wrapMode: Text.WordWrap
            width: 360
        }
    }
}
