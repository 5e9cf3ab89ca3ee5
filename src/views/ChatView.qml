import QtQuick
import QtQuick.Controls
import MorloAI
import QtQuick.Layouts

// The Chat tab: the active conversation, the input box, engine progress and speed, dropped
// files, the approval card and the per-session settings.
FocusScope {
    id: chat

    required property QtObject agentState
    required property QtObject agentManager
    required property QtObject serverManager
    required property QtObject messages
    // Servers elsewhere and the choice between them and this computer (absent: this computer only).
    property QtObject modelManager: null
    property QtObject remoteServers: null
    property QtObject activeEndpoint: null

    signal navigateToModels()

    property string inputText: ""
    property bool showNoModelBanner: false
    property bool isDroppingFile: false

    readonly property bool isLoading: agentState.isLoading
    // A chosen server model answers without our engine running.
    readonly property bool engineRunning: activeEndpoint ? activeEndpoint.isReady : serverManager.isRunning
    readonly property string activeModelName: activeEndpoint ? activeEndpoint.modelLabel : serverManager.activeModelName
    // This computer's engine died after it was ready (and no server model is chosen instead).
    readonly property bool localEngineStopped: serverManager.stoppedUnexpectedly
                                               && !(activeEndpoint && activeEndpoint.isRemote)
    readonly property bool engineStarting: serverManager.isStarting
    readonly property bool canSend: ChatRules.canSend(inputText, isLoading)
    readonly property bool conversationEmpty: agentState.messageCount >= 0 && ChatRules.isConversationEmpty(agentState)

    readonly property var starterSuggestions: [
        { icon: "camera.viewfinder", text: "Take a screenshot of my screen" },
        { icon: "folder", text: "List files in my Downloads folder" },
        { icon: "apps.iphone", text: "What apps do I have open?" },
        { icon: "cpu", text: "What are my system specs?" },
    ]

    function sendInput() {
        const text = inputText.trim()
        if (text === "" || isLoading)
            return
        if (!engineRunning && !engineStarting) {
            showNoModelBanner = true
            // The earliest pending hide wins: a second attempt does not extend the banner.
            if (!bannerTimer.running)
                bannerTimer.start()
            return
        }
        inputText = ""
        agentManager.sendMessage(text)
    }

    function editMessage(messageId) {
        const content = ChatRules.editMessage(agentState, messageId)
        if (content !== null && content !== undefined) {
            inputText = content
            editor.forceActiveFocus()
        }
    }

    function retryMessage(messageId) {
        const content = ChatRules.retryMessage(agentState, messageId)
        if (content !== null && content !== undefined)
            agentManager.sendMessage(content)
    }

    function scrollToBottom(animated) {
        if (conversationEmpty)
            return
        scrollAnimation.stop()
        if (!animated) {
            messageList.positionViewAtEnd()
            return
        }
        const from = messageList.contentY
        messageList.positionViewAtEnd()
        const to = messageList.contentY
        messageList.contentY = from
        scrollAnimation.from = from
        scrollAnimation.to = to
        scrollAnimation.start()
    }

    Component.onCompleted: scrollToBottom(false)

    Connections {
        target: chat.agentState
        function onActiveSessionIDChanged() { Qt.callLater(chat.scrollToBottom, false) }
        function onCurrentStreamingContentChanged() { Qt.callLater(chat.scrollToBottom, false) }
        function onPendingApprovalChanged() {
            if (chat.agentState.hasPendingApproval)
                approvalSheet.open()
            else
                approvalSheet.close()
        }
    }
    Connections {
        target: chat.messages
        function onCountChanged() { Qt.callLater(chat.scrollToBottom, true) }
    }

    Shortcut {
        sequence: "Ctrl+L"
        context: Qt.WindowShortcut
        onActivated: editor.forceActiveFocus()
    }

    Timer {
        id: bannerTimer
        interval: Theme.bannerLifetime
        onTriggered: chat.showNoModelBanner = false
    }

    Rectangle {
        anchors.fill: parent
        color: Theme.windowBackground
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        // Engine start-up progress
        Rectangle {
            objectName: "engineStatusStrip"
            visible: chat.engineStarting
            Layout.fillWidth: true
            implicitHeight: statusRow.implicitHeight + 16
            color: Theme.faintFill
            RowLayout {
                id: statusRow
                anchors.fill: parent
                anchors.leftMargin: 16
                anchors.rightMargin: 16
                spacing: 8
                BusyIndicator { implicitWidth: 16; implicitHeight: 16; running: parent.visible }
                Label {
                    objectName: "engineStatusText"
                    Layout.fillWidth: true
                    text: chat.serverManager.statusMessage
                    font.pixelSize: Theme.captionSize
                    color: Theme.secondaryText
                    elide: Text.ElideRight
                }
            }
        }

        // The conversation
        Item {
            id: messageArea
            Layout.fillWidth: true
            Layout.fillHeight: true

            ListView {
                id: messageList
                objectName: "messageList"
                // A readable column, centred on a wide window.
                anchors.top: parent.top
                anchors.bottom: parent.bottom
                anchors.horizontalCenter: parent.horizontalCenter
                width: Math.min(parent.width, Theme.readableWidth)
                visible: !chat.conversationEmpty
                clip: true
                model: chat.messages
                topMargin: Theme.contentInset
                bottomMargin: Theme.contentInset
                reuseItems: false
                boundsBehavior: Flickable.StopAtBounds
                ScrollBar.vertical: ScrollBar { policy: ScrollBar.AsNeeded }
                Accessible.name: "Messages"

                NumberAnimation {
                    id: scrollAnimation
                    target: messageList
                    property: "contentY"
                    duration: Theme.scrollDuration
                    easing.type: Easing.OutQuad
                }

                header: Item {
                    width: messageList.width
                    height: chat.agentState.historyWasTrimmed ? trimmedMarker.height + Theme.messageSpacing : 0
                    Rectangle {
                        id: trimmedMarker
                        objectName: "trimmedHistoryMarker"
                        visible: chat.agentState.historyWasTrimmed
                        anchors.horizontalCenter: parent.horizontalCenter
                        width: trimmedRow.implicitWidth + 24
                        height: trimmedRow.implicitHeight + 10
                        radius: height / 2
                        color: Theme.faintFill
                        Row {
                            id: trimmedRow
                            anchors.centerIn: parent
                            spacing: 6
                            Icon { anchors.verticalCenter: parent.verticalCenter; symbol: "clock.arrow.circlepath"; size: 11 }
                            Label {
                                text: "Earlier messages not in context window"
                                font.pixelSize: Theme.captionSize
                                color: Theme.secondaryText
                            }
                        }
                    }
                }

                delegate: Item {
                    id: row
                    required property string messageId
                    required property string role
                    required property string content
                    required property var toolCalls
                    required property string caption
                    width: messageList.width
                    height: bubble.hidden ? 0 : bubble.implicitHeight + Theme.messageSpacing

                    MessageBubble {
                        id: bubble
                        objectName: "bubble_" + row.messageId
                        x: Theme.contentInset
                        width: row.width - 2 * Theme.contentInset
                        messageId: row.messageId
                        role: row.role
                        content: row.content
                        toolCalls: row.toolCalls
                        caption: row.caption
                        canEdit: row.role === "user"
                        canRetry: ChatRules.isErrorReply(row.role, row.content)
                        blockedReason: chat.agentState.changeBlockedReason
                        onEditRequested: chat.editMessage(row.messageId)
                        onRetryRequested: chat.retryMessage(row.messageId)
                    }
                }

                footer: Column {
                    width: messageList.width
                    TypingIndicator {
                        objectName: "typingIndicator"
                        x: Theme.contentInset
                        visible: chat.isLoading && chat.agentState.currentStreamingContent === ""
                        height: visible ? implicitHeight : 0
                    }
                    Item {
                        objectName: "bottom"
                        width: parent.width
                        height: 1
                    }
                }
            }

            // Nothing to show yet
            Flickable {
                objectName: "emptyState"
                anchors.fill: parent
                visible: chat.conversationEmpty
                contentHeight: Math.max(height, emptyColumn.implicitHeight + 2 * Theme.contentInset)
                boundsBehavior: Flickable.StopAtBounds
                clip: true

                ColumnLayout {
                    id: emptyColumn
                    width: Math.min(parent.width - 2 * Theme.contentInset, 460)
                    anchors.horizontalCenter: parent.horizontalCenter
                    y: Math.max(Theme.contentInset, (parent.height - implicitHeight) / 2)
                    spacing: 32

                    Avatar {
                        Layout.alignment: Qt.AlignHCenter
                        diameter: 86
                        symbolSize: 36
                    }

                    ColumnLayout {
                        Layout.alignment: Qt.AlignHCenter
                        spacing: 6
                        Label {
                            objectName: "emptyTitle"
                            Layout.alignment: Qt.AlignHCenter
                            text: "Morlo AI"
                            font.pixelSize: 26
                            font.weight: Font.Bold
                            color: Theme.textColor
                        }
                        Label {
                            objectName: "emptySubtitle"
                            Layout.alignment: Qt.AlignHCenter
                            text: ChatRules.emptyStateSubtitle()
                            font.pixelSize: Theme.bodySize
                            color: Theme.secondaryText
                        }
                    }

                    ColumnLayout {
                        visible: !chat.engineRunning && !chat.engineStarting
                        Layout.alignment: Qt.AlignHCenter
                        spacing: 12
                        // After a failed load or an engine that stopped, say so rather than invite a load.
                        Label {
                            objectName: "emptyEngineNotice"
                            Layout.alignment: Qt.AlignHCenter
                            text: chat.serverManager.failureNotice !== "" ? chat.serverManager.failureNotice
                                                                         : "Load a model to get started"
                            font.pixelSize: Theme.bodySize
                            color: Theme.secondaryText
                        }
                        Button {
                            id: browseButton
                            objectName: "browseModelsButton"
                            Accessible.name: text
                            Layout.alignment: Qt.AlignHCenter
                            text: "Browse Models"
                            highlighted: true
                            icon.source: SymbolIcons.source("cpu.fill", Theme.accent)
                            icon.color: "transparent"
                            icon.width: 14
                            icon.height: 14
                            onClicked: chat.navigateToModels()
                        }
                    }

                    RowLayout {
                        visible: chat.engineStarting
                        Layout.alignment: Qt.AlignHCenter
                        spacing: 8
                        BusyIndicator { implicitWidth: 18; implicitHeight: 18; running: parent.visible }
                        Label {
                            objectName: "emptyStatusText"
                            text: chat.serverManager.statusMessage
                            color: Theme.secondaryText
                        }
                    }

                    ColumnLayout {
                        visible: chat.engineRunning && !chat.engineStarting
                        Layout.fillWidth: true
                        spacing: 8
                        Repeater {
                            model: chat.starterSuggestions
                            delegate: AbstractButton {
                                id: suggestion
                                required property var modelData
                                required property int index
                                objectName: "suggestion_" + index
                                Accessible.name: modelData.text
                                Layout.fillWidth: true
                                hoverEnabled: true
                                focusPolicy: Qt.StrongFocus
                                padding: 12
                                background: Rectangle {
                                    radius: Theme.cardRadius
                                    color: suggestion.hovered ? Theme.withAlpha(Theme.accent, 0.08) : Theme.faintFill
                                    border.color: suggestion.visualFocus ? Theme.accent : Theme.separator
                                }
                                contentItem: RowLayout {
                                    spacing: 10
                                    Icon { symbol: suggestion.modelData.icon; size: 15; color: Theme.accent }
                                    Label {
                                        Layout.fillWidth: true
                                        text: suggestion.modelData.text
                                        font.pixelSize: Theme.bodySize
                                        color: Theme.textColor
                                        elide: Text.ElideRight
                                    }
                                    Icon { symbol: "arrow.up.right"; size: 11 }
                                }
                                onClicked: {
                                    chat.inputText = modelData.text
                                    chat.sendInput()
                                }
                            }
                        }
                    }
                }
            }

            DropArea {
                objectName: "fileDropArea"
                anchors.fill: parent
                keys: ["text/uri-list"]
                onEntered: drag => chat.isDroppingFile = drag.hasUrls
                onExited: chat.isDroppingFile = false
                onDropped: drop => {
                    chat.isDroppingFile = false
                    chat.inputText = ChatRules.attachDroppedFiles(chat.inputText, drop.urls)
                    drop.accept(Qt.CopyAction)
                }
            }

            Rectangle {
                objectName: "dropOverlay"
                visible: chat.isDroppingFile
                anchors.fill: parent
                anchors.margins: 8
                radius: Theme.cardRadius
                color: Theme.withAlpha(Theme.accent, 0.06)
                border.color: Theme.accent
                border.width: 2
                Column {
                    anchors.centerIn: parent
                    spacing: 8
                    Icon { anchors.horizontalCenter: parent.horizontalCenter; symbol: "arrow.down.doc.fill"; size: 28; color: Theme.accent }
                    Label {
                        text: "Drop file to attach"
                        font.pixelSize: Theme.subheadlineSize + 1
                        font.weight: Font.Medium
                        color: Theme.accent
                    }
                }
            }
        }

        Divider {}

        // Sending without an engine
        Rectangle {
            objectName: "noModelBanner"
            Layout.fillWidth: true
            Layout.preferredHeight: chat.showNoModelBanner ? bannerRow.implicitHeight + 16 : 0
            visible: Layout.preferredHeight > 0
            opacity: chat.showNoModelBanner ? 1 : 0
            clip: true
            color: Theme.withAlpha(Theme.orange, 0.12)
            Behavior on Layout.preferredHeight { NumberAnimation { duration: Theme.springDuration; easing.type: Easing.OutQuad } }
            Behavior on opacity { NumberAnimation { duration: Theme.springDuration } }
            RowLayout {
                id: bannerRow
                anchors.verticalCenter: parent.verticalCenter
                x: 16
                spacing: 8
                Icon { symbol: "exclamationmark.triangle.fill"; size: 13; color: Theme.orange }
                Label {
                    objectName: "noModelBannerText"
                    text: "No model loaded — click the model button to load one"
                    font.pixelSize: Theme.calloutSize
                    color: Theme.textColor
                }
            }
        }

        // The input box
        Rectangle {
            Layout.fillWidth: true
            Layout.margins: 14
            implicitHeight: inputColumn.implicitHeight + 16
            radius: Theme.inputRadius
            color: Theme.controlBackground
            border.color: editor.activeFocus ? Theme.withAlpha(Theme.accent, 0.5) : Theme.separator
            border.width: 1

            ColumnLayout {
                id: inputColumn
                anchors.fill: parent
                anchors.margins: 8
                anchors.leftMargin: 10
                anchors.rightMargin: 10
                spacing: 6

                ScrollView {
                    id: editorScroll
                    Layout.fillWidth: true
                    Layout.preferredHeight: Math.min(120, Math.max(36, editor.implicitHeight))

                    TextArea {
                        id: editor
                        objectName: "messageInput"
                        Accessible.name: "Message"
                        focus: true
                        text: chat.inputText
                        onTextChanged: if (text !== chat.inputText) chat.inputText = text
                        wrapMode: TextArea.Wrap
                        font.pixelSize: Theme.bodySize
                        color: Theme.textColor
                        topPadding: 8
                        leftPadding: 5
                        background: null
                        placeholderText: "Message Morlo AI…"
                        placeholderTextColor: Theme.placeholderText
                        selectByMouse: true

                        function handleReturn(event) {
                            if (event.modifiers & Qt.ShiftModifier) {
                                chat.inputText = chat.inputText + "\n"
                                cursorPosition = length
                            } else {
                                chat.sendInput()
                            }
                            event.accepted = true
                        }
                        Keys.onReturnPressed: event => handleReturn(event)
                        Keys.onEnterPressed: event => handleReturn(event)
                        // Tab moves on, as in every other field; Ctrl+Tab types a tab.
                        Keys.onTabPressed: event => {
                            if (event.modifiers & Qt.ControlModifier)
                                insert(cursorPosition, "\t")
                            else
                                nextItemInFocusChain(true).forceActiveFocus(Qt.TabFocusReason)
                            event.accepted = true
                        }
                        Keys.onBacktabPressed: event => {
                            nextItemInFocusChain(false).forceActiveFocus(Qt.BacktabFocusReason)
                            event.accepted = true
                        }
                    }
                }

                RowLayout {
                    Layout.fillWidth: true
                    spacing: 10

                    AbstractButton {
                        id: modelButton
                        objectName: "modelButton"
                        Accessible.name: modelButtonLabel.text
                        hoverEnabled: true
                        focusPolicy: Qt.StrongFocus
                        padding: 4
                        background: Rectangle {
                            radius: 6
                            color: modelButton.visualFocus ? Theme.withAlpha(Theme.accent, 0.2)
                                 : modelButton.hovered ? Theme.faintFill : "transparent"
                        }
                        contentItem: RowLayout {
                            spacing: 5
                            BusyIndicator {
                                visible: chat.engineStarting
                                running: visible
                                implicitWidth: 12
                                implicitHeight: 12
                            }
                            Icon {
                                visible: !chat.engineStarting && chat.activeModelName === ""
                                symbol: "cpu"
                                size: 11
                            }
                            Rectangle {
                                visible: !chat.engineStarting && chat.activeModelName !== ""
                                width: 5
                                height: 5
                                radius: 2.5
                                color: chat.engineRunning ? Theme.green : Theme.secondaryText
                            }
                            Label {
                                id: modelButtonLabel
                                objectName: "modelButtonLabel"
                                text: chat.engineStarting ? "Loading…"
                                    : chat.activeModelName === "" ? "Select Model"
                                    : chat.localEngineStopped
                                      ? "Load " + ChatRules.shortModelName(chat.serverManager.activeModelName) + " again"
                                    : ChatRules.shortModelName(chat.activeModelName)
                                font.pixelSize: Theme.captionSize + 0.5
                                font.weight: Font.Medium
                                color: Theme.secondaryText
                            }
                        }
                        // The model of an engine that stopped loads again from here.
                        onClicked: chat.localEngineStopped ? chat.serverManager.reload()
                                   : chat.activeEndpoint ? modelMenu.popup(modelButton, 0, -modelMenu.implicitHeight)
                                   : chat.navigateToModels()

                        ModelMenu {
                            id: modelMenu
                            modelManager: chat.modelManager
                            serverManager: chat.serverManager
                            remoteServers: chat.remoteServers
                            activeEndpoint: chat.activeEndpoint
                            onBrowseModels: chat.navigateToModels()
                        }
                    }

                    IconButton {
                        objectName: "sessionSettingsButton"
                        Accessible.name: "Session settings"
                        symbol: "slider.horizontal.3"
                        iconSize: 13
                        tint: Theme.withAlpha(Theme.secondaryText, 0.6 * Theme.secondaryText.a + 0.4)
                        toolTipText: "Session settings"
                        onClicked: sessionSettings.open()
                    }

                    Item { Layout.fillWidth: true }

                    Label {
                        objectName: "speedLabel"
                        visible: opacity > 0
                        opacity: chat.agentState.tokensPerSecond > 0 ? 1 : 0
                        text: chat.agentState.tokensPerSecond.toFixed(0) + " tok/s"
                        font.pixelSize: 10
                        font.weight: Font.Medium
                        font.family: Theme.monospaceFamily
                        color: Theme.withAlpha(Theme.secondaryText, 0.7 * Theme.secondaryText.a)
                        Behavior on opacity { NumberAnimation { duration: Theme.speedFadeDuration; easing.type: Easing.InOutQuad } }
                    }

                    Item {
                        implicitWidth: 32
                        implicitHeight: 32

                        RoundButton {
                            id: sendButton
                            objectName: "sendButton"
                            Accessible.name: "Send"
                            anchors.fill: parent
                            enabled: chat.canSend
                            opacity: chat.isLoading ? 0 : 1
                            scale: chat.isLoading ? 0.6 : 1
                            visible: opacity > 0
                            Behavior on opacity { NumberAnimation { duration: 200 } }
                            Behavior on scale { NumberAnimation { duration: 200; easing.type: Easing.OutBack } }
                            background: Rectangle {
                                radius: 16
                                color: sendButton.enabled ? Theme.accent : Theme.withAlpha(Theme.secondaryText, 0.25)
                                border.width: sendButton.visualFocus ? 2 : 0
                                border.color: Theme.textColor
                                Behavior on color { ColorAnimation { duration: 220 } }
                            }
                            contentItem: Item {
                                Icon { anchors.centerIn: parent; symbol: "arrow.up"; size: 15; color: "white" }
                            }
                            onClicked: chat.sendInput()
                        }

                        RoundButton {
                            id: stopButton
                            objectName: "stopButton"
                            Accessible.name: "Stop"
                            anchors.fill: parent
                            opacity: chat.isLoading ? 1 : 0
                            scale: chat.isLoading ? 1 : 0.6
                            visible: opacity > 0
                            Behavior on opacity { NumberAnimation { duration: 200 } }
                            Behavior on scale { NumberAnimation { duration: 200; easing.type: Easing.OutBack } }
                            background: Rectangle {
                                radius: 16
                                color: Theme.red
                                border.width: stopButton.visualFocus ? 2 : 0
                                border.color: Theme.textColor
                            }
                            contentItem: Item {
                                Icon { anchors.centerIn: parent; symbol: "stop.fill"; size: 13; color: "white" }
                            }
                            onClicked: chat.agentManager.cancelGeneration()
                        }
                    }
                }
            }
        }
    }

    SessionSettingsSheet {
        id: sessionSettings
        agentState: chat.agentState
        parent: Overlay.overlay
    }

    // The approval card as a modal sheet; leaving it without a decision denies the call, so a
    // waiting turn never hangs.
    Popup {
        id: approvalSheet
        objectName: "approvalSheet"
        parent: Overlay.overlay
        anchors.centerIn: parent
        modal: true
        focus: true
        padding: 0
        closePolicy: Popup.CloseOnEscape
        background: Rectangle {
            radius: 12
            color: Theme.windowBackground
            border.color: Theme.separator
        }
        // A card taller than the window scrolls rather than losing its lower part.
        height: Math.min(implicitHeight, parent ? parent.height - 32 : implicitHeight)
        contentItem: Flickable {
            objectName: "approvalScroll"
            implicitWidth: approvalLoader.implicitWidth
            implicitHeight: approvalLoader.implicitHeight
            contentWidth: width
            contentHeight: approvalLoader.height
            clip: true
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar {}
            Loader {
                id: approvalLoader
                active: chat.agentState.hasPendingApproval
                sourceComponent: ApprovalView {
                    objectName: "approvalView"
                    toolCall: chat.agentState.pendingApproval
                    onApprove: chat.agentState.resolveApproval(true)
                    onDeny: chat.agentState.resolveApproval(false)
                }
            }
        }
        onOpened: contentItem.forceActiveFocus()
        onClosed: {
            if (chat.agentState.hasPendingApproval)
                chat.agentState.resolveApproval(false)
        }
        Component.onCompleted: if (chat.agentState.hasPendingApproval) open()
    }
}
