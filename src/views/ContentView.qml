import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MorloAI

// The main window's content: the chat sidebar beside one of three tabs (Chat, Models,
// Settings) chosen in the toolbar, and the first-run onboarding sheet.
Item {
    id: content
    objectName: "contentView"

    required property QtObject agentState
    required property QtObject agentManager
    required property QtObject modelManager
    required property QtObject serverManager
    required property QtObject messages
    required property QtObject sessions
    property QtObject remoteServers: null
    property QtObject activeEndpoint: null

    readonly property var tabs: [
        { key: "chat", label: "Chat", icon: "bubble.left.and.bubble.right.fill" },
        { key: "models", label: "Models", icon: "cpu.fill" },
        { key: "settings", label: "Settings", icon: "gear" },
    ]
    property string selectedTab: "chat"
    property string hoveredSessionID: ""
    property string searchQuery: ""
    property bool showOnboarding: false
    // The sidebar hides by itself on a narrow window; the toolbar button and Ctrl+Shift+S
    // toggle it at any width.
    readonly property bool narrow: width < Theme.sidebarCollapseWidth
    property bool sidebarShown: !narrow
    onNarrowChanged: sidebarShown = !narrow
    // The row whose title is being edited in place.
    property string renamingSessionID: ""

    readonly property bool busy: agentState.isLoading
    readonly property int tabIndex: tabs.findIndex(tab => tab.key === selectedTab)
    // The tabs shown at least once, whose views are kept from then on.
    property var openedTabs: ({ chat: true })
    onSelectedTabChanged: if (!openedTabs[selectedTab]) {
        openedTabs[selectedTab] = true
        openedTabsChanged()
    }

    // The tab bar moves its own index on a click, which would end a binding: follow it instead.
    onTabIndexChanged: tabBar.currentIndex = tabIndex

    // An empty conversation is reused rather than another one made; either way the new chat
    // starts with an empty message box.
    function newChat() {
        if (busy)
            return
        const empty = SidebarRules.reusableEmptySession(agentState)
        if (empty !== "")
            agentState.selectSession(empty)
        else
            agentState.newSession()
        chatView.inputText = ""
        selectedTab = "chat"
    }

    // Deleting a conversation that holds messages asks first (until "Don't ask again").
    function requestDelete(id) {
        if (SidebarRules.asksBeforeDeleting(agentState, id))
            deleteConfirm.ask(id)
        else
            agentState.deleteSession(id)
    }

    function renameSession(id, title) {
        renamingSessionID = ""
        const trimmed = title.trim()
        if (trimmed === "" || busy)
            return
        agentState.selectSession(id)
        agentState.renameActiveSession(trimmed)
    }

    function toggleSidebar() { sidebarShown = !sidebarShown }
    function focusSearch() {
        sidebarShown = true
        searchField.forceActiveFocus(Qt.ShortcutFocusReason)
        searchField.selectAll()
    }

    Shortcut {
        objectName: "searchShortcut"
        sequence: StandardKey.Find
        onActivated: content.focusSearch()
    }
    Shortcut {
        objectName: "sidebarShortcut"
        sequence: "Ctrl+Shift+S"
        onActivated: content.toggleSidebar()
    }

    function selectSession(id) {
        if (id === "" || busy)
            return
        agentState.selectSession(id)
        selectedTab = "chat"
    }

    function checkOnboarding() {
        if (!SidebarRules.onboardingComplete())
            showOnboarding = true
    }

    Component.onCompleted: checkOnboarding()

    // After everything was erased the app is on its first run again: the chat tab under the
    // onboarding sheet.
    Connections {
        target: content.agentState
        function onDataWasReset() {
            content.selectedTab = "chat"
            content.checkOnboarding()
        }
    }

    SessionFilterModel {
        id: visibleSessions
        agentState: content.agentState
        sessions: content.sessions
        searchQuery: content.searchQuery
    }

    RowLayout {
        anchors.fill: parent
        spacing: 0

        // Sidebar.
        Rectangle {
            objectName: "sidebar"
            visible: content.sidebarShown
            Layout.preferredWidth: Theme.sidebarWidth
            Layout.fillHeight: true
            color: Theme.faintFill

            ColumnLayout {
                anchors.fill: parent
                spacing: 0

                Label {
                    Layout.leftMargin: 14
                    Layout.topMargin: 14
                    Layout.bottomMargin: 6
                    text: "Chats"
                    font.capitalization: Font.AllUppercase
                    font.pixelSize: 10
                    font.weight: Font.DemiBold
                    font.letterSpacing: 0.8
                    color: Theme.secondaryText
                }

                Rectangle {
                    Layout.fillWidth: true
                    Layout.leftMargin: 10
                    Layout.rightMargin: 10
                    Layout.bottomMargin: 8
                    implicitHeight: 28
                    radius: 7
                    color: Theme.controlBackground
                    border.color: Theme.separator
                    border.width: 1

                    RowLayout {
                        anchors.fill: parent
                        anchors.leftMargin: 8
                        anchors.rightMargin: 4
                        spacing: 6
                        Icon { symbol: "magnifyingglass"; size: 12 }
                        TextField {
                            id: searchField
                            objectName: "sessionSearchField"
                            Accessible.name: "Search chats"
                            Layout.fillWidth: true
                            placeholderText: "Search chats…"
                            text: content.searchQuery
                            onTextEdited: content.searchQuery = text
                            font.pixelSize: 12
                            background: null
                            padding: 0
                        }
                        IconButton {
                            objectName: "clearSessionSearchButton"
                            Accessible.name: "Clear search"
                            visible: content.searchQuery !== ""
                            symbol: "xmark.circle.fill"
                            iconSize: 12
                            padding: 2
                            onClicked: content.searchQuery = ""
                        }
                    }
                }

                ListView {
                    id: sessionList
                    objectName: "sessionList"
                    Accessible.role: Accessible.List
                    Accessible.name: "Chats"
                    // One stop in the Tab order; the arrows move between conversations, Enter
                    // opens one, Delete deletes it.
                    activeFocusOnTab: true
                    keyNavigationEnabled: true
                    highlightMoveDuration: 0
                    Keys.onReturnPressed: openCurrent()
                    Keys.onEnterPressed: openCurrent()
                    Keys.onDeletePressed: if (currentItem && currentItem.deletable) content.requestDelete(currentItem.sessionId)
                    Keys.onPressed: event => {
                        if (event.key === Qt.Key_F2 && currentItem) {
                            content.renamingSessionID = currentItem.sessionId
                            event.accepted = true
                        }
                    }
                    function openCurrent() {
                        if (currentItem)
                            content.selectSession(currentItem.sessionId)
                    }
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    Layout.leftMargin: 6
                    Layout.rightMargin: 6
                    clip: true
                    spacing: 2
                    model: visibleSessions
                    reuseItems: true
                    cacheBuffer: 0
                    boundsBehavior: Flickable.StopAtBounds
                    ScrollBar.vertical: ScrollBar {}
                    delegate: SessionRow {
                        width: ListView.view.width
                        busy: content.busy
                        hoveredRow: content.hoveredSessionID === sessionId
                        keyboardCurrent: ListView.isCurrentItem && ListView.view.activeFocus
                        editing: content.renamingSessionID === sessionId
                        onChoose: content.selectSession(sessionId)
                        onTogglePin: content.agentState.togglePin(sessionId)
                        onRemove: content.requestDelete(sessionId)
                        onRenamed: newTitle => content.renameSession(sessionId, newTitle)
                        onEditingCancelled: content.renamingSessionID = ""
                        // The arrow keys start from the open conversation.
                        Component.onCompleted: if (isActive) sessionList.currentIndex = index
                        onIsActiveChanged: if (isActive) sessionList.currentIndex = index
                        onMenuRequested: sessionMenu.openFor(sessionId, isPinned, deletable)
                        onHoverChanged: inside => {
                            if (inside)
                                content.hoveredSessionID = sessionId
                            else if (content.hoveredSessionID === sessionId)
                                content.hoveredSessionID = ""
                        }
                    }
                }

                // Pin, unpin or delete the row that was right-clicked.
                Menu {
                    id: sessionMenu
                    objectName: "sessionContextMenu"

                    property string sessionId
                    property bool isPinned
                    property bool canDelete

                    function openFor(id, pinned, deletable) {
                        sessionId = id
                        isPinned = pinned
                        canDelete = deletable
                        popup()
                    }

                    MenuItem {
                        objectName: "renameMenuItem"
                        text: "Rename…"
                        enabled: !content.busy
                        icon.source: SymbolIcons.source("pencil", Theme.textColor)
                        onTriggered: content.renamingSessionID = sessionMenu.sessionId
                    }
                    MenuItem {
                        objectName: "pinMenuItem"
                        text: sessionMenu.isPinned ? "Unpin" : "Pin"
                        icon.source: SymbolIcons.source(sessionMenu.isPinned ? "pin.slash" : "pin", Theme.textColor)
                        onTriggered: content.agentState.togglePin(sessionMenu.sessionId)
                    }
                    MenuSeparator {}
                    MenuItem {
                        objectName: "deleteMenuItem"
                        text: "Delete"
                        enabled: sessionMenu.canDelete
                        icon.source: SymbolIcons.source("trash", Theme.red)
                        palette.windowText: Theme.red
                        onTriggered: content.requestDelete(sessionMenu.sessionId)
                    }
                }

                Divider {}

                // Engine status footer.
                RowLayout {
                    Layout.fillWidth: true
                    Layout.margins: 12
                    spacing: 6
                    Item {
                        Layout.preferredWidth: 18
                        Layout.preferredHeight: 18
                        readonly property color dotColor: (content.activeEndpoint ? content.activeEndpoint.isReady
                                                                                  : content.serverManager.isRunning)
                            ? Theme.green : Theme.withAlpha(Theme.secondaryText, Theme.secondaryText.a * 0.35)
                        Rectangle {
                            anchors.fill: parent
                            radius: 9
                            color: Theme.withAlpha(parent.dotColor, 0.18)
                        }
                        Rectangle {
                            anchors.centerIn: parent
                            width: 7
                            height: 7
                            radius: 3.5
                            color: parent.dotColor
                        }
                    }
                    Label {
                        objectName: "engineFooterText"
                        Layout.fillWidth: true
                        readonly property string answering: content.activeEndpoint ? content.activeEndpoint.answeringText
                                                                                    : content.serverManager.activeModelName
                        text: answering !== "" ? answering : "No model loaded"
                        elide: Text.ElideRight
                        font.pixelSize: 11
                        color: Theme.secondaryText
                    }
                }
            }
        }

        Rectangle {
            visible: content.sidebarShown
            Layout.fillHeight: true
            implicitWidth: 1
            color: Theme.separator
        }

        ColumnLayout {
            id: detailColumn
            Layout.fillWidth: true
            Layout.fillHeight: true
            spacing: 0

            // Toolbar.
            RowLayout {
                Layout.fillWidth: true
                Layout.margins: 8
                spacing: 8

                IconButton {
                    objectName: "sidebarToggle"
                    Accessible.name: content.sidebarShown ? "Hide Sidebar" : "Show Sidebar"
                    toolTipText: Accessible.name + " (Ctrl+Shift+S)"
                    symbol: "sidebar.left"
                    iconSize: 16
                    onClicked: content.toggleSidebar()
                }
                Button {
                    objectName: "newChatButton"
                    text: "New Chat"
                    Accessible.name: text
                    enabled: !content.busy
                    flat: true
                    icon.source: SymbolIcons.source("square.and.pencil", Theme.textColor)
                    ToolTip.visible: hovered
                    ToolTip.delay: 600
                    ToolTip.text: Qt.platform.os === "osx" ? "New Chat (⌘N)" : "New Chat (Ctrl+N)"
                    onClicked: content.newChat()
                }
                // The open conversation's title, on the Chat tab.
                Label {
                    objectName: "chatTitle"
                    Layout.fillWidth: true
                    horizontalAlignment: Text.AlignHCenter
                    visible: content.selectedTab === "chat"
                    // Read through the active id: switching conversations announces only that.
                    text: content.agentState.activeSessionID !== "" ? content.agentState.activeSessionTitle : ""
                    elide: Text.ElideRight
                    font.pixelSize: Theme.headlineSize
                    font.weight: Font.DemiBold
                    Accessible.role: Accessible.Heading
                }
                Item { Layout.fillWidth: true; visible: content.selectedTab !== "chat" }
                TabBar {
                    id: tabBar
                    objectName: "tabControl"
                    Accessible.name: "Tab"
                    Layout.preferredWidth: 210
                    Repeater {
                        model: content.tabs
                        TabButton {
                            required property var modelData
                            objectName: "tab_" + modelData.key
                            text: modelData.label
                            Accessible.name: text
                            icon.source: SymbolIcons.source(modelData.icon, Theme.textColor)
                            icon.width: 12
                            icon.height: 12
                            font.pixelSize: 11
                            leftPadding: 4
                            rightPadding: 4
                            spacing: 4
                            onClicked: content.selectedTab = modelData.key
                        }
                    }
                }
            }

            Divider {}

            StackLayout {
                Layout.fillWidth: true
                Layout.fillHeight: true
                currentIndex: content.tabIndex

                ChatView {
                    id: chatView
                    objectName: "chatView"
                    agentState: content.agentState
                    agentManager: content.agentManager
                    serverManager: content.serverManager
                    messages: content.messages
                    modelManager: content.modelManager
                    remoteServers: content.remoteServers
                    activeEndpoint: content.activeEndpoint
                    onNavigateToModels: content.selectedTab = "models"
                }

                // The Models and Settings tabs are made the first time they are shown and then
                // kept: an idle window that never opens them does not carry them. They are named
                // by file, so their views (and the file dialogs they import) are not even
                // compiled before that.
                Loader {
                    objectName: "modelsLoader"
                    active: content.openedTabs.models === true
                    onActiveChanged: if (active) setSource("ModelLibraryView.qml", {
                        modelManager: content.modelManager,
                        serverManager: content.serverManager,
                        remoteServers: content.remoteServers,
                        activeEndpoint: content.activeEndpoint,
                    })
                }

                Loader {
                    objectName: "settingsLoader"
                    active: content.openedTabs.settings === true
                    onActiveChanged: if (active) setSource("SettingsView.qml", {
                        agentState: content.agentState,
                        serverManager: content.serverManager,
                        modelManager: content.modelManager,
                        remoteServers: content.remoteServers,
                    })
                }
            }
        }
    }

    ConfirmationDialog {
        id: deleteConfirm
        objectName: "deleteConfirm"

        property string sessionId

        function ask(id) {
            sessionId = id
            open()
        }

        title: "Delete this conversation?"
        message: "Its messages will be removed from this computer."
        confirmText: "Delete"
        offersDontAsk: true
        onConfirmed: dontAskAgain => {
            if (dontAskAgain)
                SidebarRules.stopAskingBeforeDeleting()
            content.agentState.deleteSession(sessionId)
        }
    }

    // The first-run flow: a sheet over the content area, what lies behind it dimmed.
    Popup {
        id: onboardingSheet
        objectName: "onboardingSheet"
        parent: detailColumn
        x: Math.round((detailColumn.width - width) / 2)
        y: Math.max(16, Math.round((detailColumn.height - height) / 2))
        modal: true
        closePolicy: Popup.NoAutoClose
        padding: 0
        visible: content.showOnboarding && onboarding.status === Loader.Ready
        width: Math.min(onboarding.implicitWidth, detailColumn.width - 32)
        height: Math.min(onboarding.implicitHeight, detailColumn.height - 32)
        Overlay.modal: Rectangle { color: Theme.backdrop }
        background: CardBackground {}
        Loader {
            id: onboarding
            objectName: "onboardingLoader"
            anchors.fill: parent
            active: content.showOnboarding
            onActiveChanged: if (active) setSource("OnboardingView.qml", {
                agentState: content.agentState,
                serverManager: content.serverManager,
                modelManager: content.modelManager,
            })
        }
        // The first field of each step takes the keyboard as soon as it shows, so typing works
        // at once.
        function focusFirstField() {
            const first = onboarding.item ? onboarding.item.nextItemInFocusChain(true) : null
            if (first)
                first.forceActiveFocus(Qt.TabFocusReason)
        }
        onOpened: focusFirstField()
        Connections {
            target: onboarding.item
            ignoreUnknownSignals: true
            function onFinished() { content.showOnboarding = false }
            function onStepChanged() { Qt.callLater(onboardingSheet.focusFirstField) }
        }
    }
}
