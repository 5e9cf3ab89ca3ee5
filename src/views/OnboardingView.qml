import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import MorloAI

// The first-run flow: the user's name, the engine, the response style. Nothing is stored
// until it finishes.
Rectangle {
    id: onboarding

    required property QtObject agentState
    required property QtObject serverManager
    required property QtObject modelManager

    signal finished()

    property int step: 0
    property string userName: ""
    property string responseStyle: "balanced"
    property bool showAutoDownloadPrompt: false
    readonly property int totalSteps: 3

    readonly property bool engineReady: OnboardingFlow.engineReady(serverManager.isEngineInstalled, serverManager.brewInstallState)
    readonly property bool homebrewInstalled: serverManager.isHomebrewInstalled
    readonly property bool canDownload: serverManager.engineInstaller.canDownload
    readonly property bool nameAccepted: OnboardingFlow.isNameAccepted(userName)

    implicitWidth: 500
    implicitHeight: 480
    // Drawn on the sheet's card.
    color: "transparent"

    function goForward() {
        const next = OnboardingFlow.forwardStep(step, engineReady)
        if (next < totalSteps) {
            step = next
        } else if (OnboardingFlow.needsStarterPrompt(OnboardingFlow.hasDownloadedModel(modelManager))) {
            showAutoDownloadPrompt = true
        } else {
            finishOnboarding()
        }
    }

    function goBack() {
        step = OnboardingFlow.backStep(step, engineReady)
    }

    function finishOnboarding() {
        OnboardingFlow.finish(userName, responseStyle)
        finished()
    }

    onShowAutoDownloadPromptChanged: if (showAutoDownloadPrompt) starterPrompt.open()

    Connections {
        target: onboarding.serverManager
        function onBrewInstallStateChanged() {
            if (onboarding.step === 1 && onboarding.serverManager.brewInstallState === "succeeded")
                onboarding.step = 2
        }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 28
        spacing: 18

        StepIndicator {
            objectName: "stepIndicator"
            Layout.alignment: Qt.AlignHCenter
            count: onboarding.totalSteps
            current: onboarding.step
        }

        // The steps slide in from the trailing edge and leave towards the leading edge.
        StackView {
            id: pages
            objectName: "stepPages"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            initialItem: nameStep

            readonly property int shownStep: onboarding.step
            onShownStepChanged: replace(null, [nameStep, engineStep, styleStep][shownStep])

            replaceEnter: Transition {
                ParallelAnimation {
                    NumberAnimation { property: "x"; from: pages.width * 0.3; to: 0; duration: 200; easing.type: Easing.InOutQuad }
                    NumberAnimation { property: "opacity"; from: 0; to: 1; duration: 200 }
                }
            }
            replaceExit: Transition {
                ParallelAnimation {
                    NumberAnimation { property: "x"; from: 0; to: -pages.width * 0.3; duration: 200; easing.type: Easing.InOutQuad }
                    NumberAnimation { property: "opacity"; from: 1; to: 0; duration: 200 }
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true
            Button {
                objectName: "backButton"
                visible: onboarding.step > 0
                text: "Back"
                flat: true
                palette.buttonText: Theme.secondaryText
                onClicked: onboarding.goBack()
            }
            Item { Layout.fillWidth: true }
            Button {
                objectName: "continueButton"
                visible: onboarding.step !== 1
                highlighted: true
                text: OnboardingFlow.continueTitle(onboarding.step)
                enabled: onboarding.step !== 0 || onboarding.nameAccepted
                onClicked: onboarding.goForward()
            }
            Button {
                objectName: "engineContinueButton"
                readonly property string kind: OnboardingFlow.engineStepForward(onboarding.engineReady, onboarding.homebrewInstalled, onboarding.canDownload)
                visible: onboarding.step === 1 && kind !== ""
                highlighted: kind === "continue"
                flat: kind === "skip"
                text: kind === "continue" ? "Continue" : "Skip"
                palette.buttonText: kind === "skip" ? Theme.secondaryText : Theme.onAccentText
                onClicked: onboarding.step = 2
            }
        }
    }

    Component {
        id: nameStep
        ColumnLayout {
            spacing: 12
            Item { Layout.fillHeight: true }
            Icon { symbol: "hand.wave.fill"; size: 52; color: Theme.accent; Layout.alignment: Qt.AlignHCenter }
            Label {
                text: "Welcome to Morlo AI"
                font.pixelSize: 24
                font.weight: Font.Bold
                color: Theme.textColor
                Layout.alignment: Qt.AlignHCenter
            }
            Label {
                text: "What should I call you?"
                color: Theme.secondaryText
                Layout.alignment: Qt.AlignHCenter
            }
            TextField {
                objectName: "nameField"
                Layout.preferredWidth: 220
                Layout.alignment: Qt.AlignHCenter
                horizontalAlignment: Text.AlignHCenter
                placeholderText: "Your name"
                text: onboarding.userName
                focus: true
                onTextEdited: onboarding.userName = text
                onAccepted: if (onboarding.nameAccepted) onboarding.step = 1
            }
            Item { Layout.fillHeight: true }
        }
    }

    Component {
        id: engineStep
        ColumnLayout {
            id: engine
            spacing: 10
            readonly property string engineState: OnboardingFlow.engineStepState(onboarding.engineReady, onboarding.homebrewInstalled, onboarding.canDownload)
            readonly property color tint: engineState === "ready" ? Theme.green
                                        : engineState === "install" || engineState === "download" ? Theme.accent : Theme.orange
            // Homebrew's install, started from "Other ways…", shows its progress here too.
            readonly property bool brewShown: engineState === "install"
                || (engineState === "download" && onboarding.serverManager.brewInstallState !== "idle")

            // What would be fetched, with its size, is known before the user decides.
            // Asked once: the releases API allows few requests an hour without an account.
            Component.onCompleted: {
                const installer = onboarding.serverManager.engineInstaller
                if (engineState === "download" && installer.phase === "idle" && installer.latestTag === "")
                    installer.check()
            }

            Item { Layout.fillHeight: true }
            Rectangle {
                Layout.alignment: Qt.AlignHCenter
                width: 80
                height: 80
                radius: 40
                color: Theme.withAlpha(engine.tint, 0.15)
                Behavior on color { ColorAnimation { duration: 300 } }
                Icon {
                    anchors.centerIn: parent
                    size: 38
                    color: engine.tint
                    symbol: engine.engineState === "ready" ? "checkmark.circle.fill"
                          : engine.engineState === "install" ? "terminal.fill"
                          : engine.engineState === "download" ? "arrow.down.doc.fill" : "exclamationmark.circle.fill"
                }
            }
            Label {
                objectName: "engineTitle"
                text: engine.engineState === "ready" ? "AI Engine Ready"
                    : engine.engineState === "install" ? "Install AI Engine"
                    : engine.engineState === "download" ? "Get the AI Engine" : "Homebrew Required"
                font.pixelSize: 20
                font.weight: Font.Bold
                color: Theme.textColor
                Layout.alignment: Qt.AlignHCenter
            }
            Label {
                text: engine.engineState === "ready" ? "The AI engine is installed and ready to run models."
                    : engine.engineState === "install" ? PlatformTexts.installEngineText()
                    : engine.engineState === "download" ? PlatformTexts.downloadEngineText()
                    : "Morlo AI requires Homebrew to install the AI engine. Install Homebrew first, then reopen this app."
                font.pixelSize: Theme.subheadlineSize
                color: Theme.secondaryText
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.Wrap
                Layout.maximumWidth: 360
                Layout.alignment: Qt.AlignHCenter
            }

            // Which engine was found, and where it came from.
            Label {
                objectName: "engineSource"
                visible: engine.engineState === "ready" && onboarding.serverManager.engineSource !== ""
                text: "llama.cpp (" + onboarding.serverManager.engineSource + ")"
                font.pixelSize: Theme.captionSize
                color: Theme.secondaryText
                Layout.alignment: Qt.AlignHCenter
            }

            EngineDownloadPanel {
                objectName: "engineDownloadPanel"
                visible: engine.engineState === "download" && !engine.brewShown
                serverManager: onboarding.serverManager
                Layout.alignment: Qt.AlignHCenter
            }

            // Install controls while Homebrew is present and the engine missing.
            Button {
                objectName: "installButton"
                visible: engine.engineState === "install" && onboarding.serverManager.brewInstallState === "idle"
                highlighted: true
                text: "Install via Homebrew"
                icon.source: SymbolIcons.source("terminal.fill", "white")
                Layout.alignment: Qt.AlignHCenter
                onClicked: onboarding.serverManager.install()
            }
            RowLayout {
                visible: engine.brewShown && onboarding.serverManager.brewInstallState === "installing"
                Layout.alignment: Qt.AlignHCenter
                BusyIndicator { running: parent.visible; implicitWidth: 18; implicitHeight: 18 }
                Label {
                    text: "Installing via Homebrew…"
                    font.pixelSize: Theme.subheadlineSize
                    font.weight: Font.Medium
                    color: Theme.textColor
                }
            }
            BrewOutputLog {
                objectName: "brewOutputLog"
                visible: engine.brewShown && onboarding.serverManager.brewInstallState === "installing" && text !== ""
                text: onboarding.serverManager.brewOutput
                maximumHeight: 100
                Layout.preferredWidth: 340
                Layout.alignment: Qt.AlignHCenter
            }
            ColumnLayout {
                visible: engine.brewShown && onboarding.serverManager.brewInstallState === "failed"
                Layout.alignment: Qt.AlignHCenter
                spacing: 6
                RowLayout {
                    Layout.alignment: Qt.AlignHCenter
                    Icon { symbol: "exclamationmark.triangle.fill"; color: Theme.orange; size: 14 }
                    Label { text: "Installation failed"; color: Theme.textColor }
                }
                Label {
                    objectName: "installFailure"
                    text: onboarding.serverManager.brewInstallMessage
                    font.pixelSize: Theme.captionSize
                    color: Theme.secondaryText
                    horizontalAlignment: Text.AlignHCenter
                    wrapMode: Text.Wrap
                    Layout.maximumWidth: 340
                    Layout.alignment: Qt.AlignHCenter
                }
                Button {
                    objectName: "retryInstallButton"
                    highlighted: true
                    text: "Try Again"
                    icon.source: SymbolIcons.source("arrow.clockwise", "white")
                    Layout.alignment: Qt.AlignHCenter
                    onClicked: onboarding.serverManager.install()
                }
            }

            // Homebrew itself is the user's to install.
            ColumnLayout {
                visible: engine.engineState === "homebrewMissing"
                Layout.alignment: Qt.AlignHCenter
                spacing: 6
                Label {
                    text: "Open Terminal and run:"
                    font.pixelSize: Theme.captionSize
                    color: Theme.secondaryText
                    Layout.alignment: Qt.AlignHCenter
                }
                Rectangle {
                    Layout.fillWidth: true
                    implicitHeight: command.implicitHeight + 20
                    radius: 6
                    color: Theme.faintFill
                    TextEdit {
                        id: command
                        objectName: "homebrewCommand"
                        anchors.fill: parent
                        anchors.margins: 10
                        text: PlatformTexts.homebrewInstallCommand()
                        readOnly: true
                        selectByMouse: true
                        // Breaks between the command's words; only a word wider than the box is cut.
                        wrapMode: TextEdit.Wrap
                        font.family: Theme.monospaceFamily
                        font.pixelSize: 10
                        color: Theme.secondaryText
                    }
                }
                Label {
                    text: "After installing Homebrew, reopen Morlo AI."
                    font.pixelSize: Theme.captionSize
                    color: Theme.secondaryText
                    Layout.alignment: Qt.AlignHCenter
                }
            }
            Item { Layout.fillHeight: true }
        }
    }

    Component {
        id: styleStep
        ColumnLayout {
            spacing: 10
            Item { Layout.fillHeight: true }
            Icon { symbol: "brain.head.profile"; size: 52; color: Theme.accent; Layout.alignment: Qt.AlignHCenter }
            Label {
                text: "How should I respond?"
                font.pixelSize: 24
                font.weight: Font.Bold
                color: Theme.textColor
                Layout.alignment: Qt.AlignHCenter
            }
            Repeater {
                model: OnboardingFlow.responseStyles()
                AbstractButton {
                    id: row
                    required property var modelData
                    readonly property bool selected: onboarding.responseStyle === modelData.value
                    objectName: "style_" + modelData.value
                    Layout.preferredWidth: 340
                    Layout.alignment: Qt.AlignHCenter
                    padding: 10
                    implicitHeight: content.implicitHeight + 20
                    Accessible.name: modelData.title
                    onClicked: onboarding.responseStyle = modelData.value
                    background: Rectangle {
                        radius: 10
                        color: row.selected ? Theme.withAlpha(Theme.accent, 0.08) : Theme.controlBackground
                        border.width: row.selected ? 1 : 0
                        border.color: Theme.withAlpha(Theme.accent, 0.4)
                    }
                    contentItem: RowLayout {
                        id: content
                        width: row.availableWidth
                        spacing: 8
                        Item {
                            Layout.preferredWidth: 24
                            Layout.preferredHeight: 24
                            Icon {
                                anchors.centerIn: parent
                                symbol: row.modelData.icon
                                size: 15
                                color: row.selected ? Theme.accent : Theme.secondaryText
                            }
                        }
                        ColumnLayout {
                            spacing: 1
                            Layout.fillWidth: true
                            Layout.preferredWidth: 1
                            Label {
                                Layout.fillWidth: true
                                text: row.modelData.title
                                font.pixelSize: Theme.subheadlineSize
                                font.weight: Font.Medium
                                color: Theme.textColor
                            }
                            Label {
                                Layout.fillWidth: true
                                text: row.modelData.description
                                font.pixelSize: Theme.captionSize
                                color: Theme.secondaryText
                            }
                        }
                        Icon {
                            Layout.preferredWidth: 15
                            Layout.preferredHeight: 15
                            visible: row.selected
                            symbol: "checkmark.circle.fill"
                            size: 15
                            color: Theme.accent
                        }
                    }
                }
            }
            Item { Layout.fillHeight: true }
        }
    }

    OpenModelFileDialog {
        id: starterFileDialog
        modelManager: onboarding.modelManager
        onAdded: {
            starterPrompt.close()
            onboarding.finishOnboarding()
        }
    }

    Dialog {
        id: starterPrompt
        objectName: "starterPrompt"
        title: "Download a Starter Model?"
        modal: true
        anchors.centerIn: parent
        width: 380
        onClosed: onboarding.showAutoDownloadPrompt = false
        contentItem: ColumnLayout {
            spacing: 8
            Label {
                Layout.fillWidth: true
                text: PlatformTexts.starterModelMessage()
                wrapMode: Text.Wrap
                color: Theme.secondaryText
            }
            // A user who already has a model file uses it instead of downloading one.
            Label {
                objectName: "starterOpenFileLink"
                text: "<a href=\"open\">Open a GGUF file…</a>"
                textFormat: Text.StyledText
                linkColor: Theme.accent
                onLinkActivated: starterFileDialog.open()
                HoverHandler { cursorShape: Qt.PointingHandCursor }
            }
            Label {
                objectName: "starterOpenFileProblem"
                Layout.fillWidth: true
                visible: starterFileDialog.problem !== ""
                text: starterFileDialog.problem
                color: Theme.red
                wrapMode: Text.Wrap
            }
        }
        footer: DialogButtonBox {
            Button {
                objectName: "starterSkipButton"
                text: "Skip"
                DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
                onClicked: {
                    starterPrompt.close()
                    onboarding.finishOnboarding()
                }
            }
            Button {
                objectName: "starterDownloadButton"
                text: "Download Llama 3.2 3B (2.0 GB)"
                highlighted: true
                DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
                onClicked: {
                    OnboardingFlow.startStarterDownload(onboarding.modelManager)
                    starterPrompt.close()
                    onboarding.finishOnboarding()
                }
            }
        }
    }
}
