import QtQuick
import MorloAI
import QtQuick.Controls
import QtQuick.Layouts

// One message of the conversation: the user's on the trailing side in an accent bubble, the
// assistant's on the leading side behind an avatar, drawn as Markdown, with copy and retry.
Item {
    id: bubble

    required property string messageId
    required property string role
    required property string content
    // The calls kept with a batch of tool results: drawn as activity rows.
    property var toolCalls: []
    // Which model on which server wrote a reply; empty for the user's messages and older replies.
    property string caption: ""
    // Whether the chat view offers editing (user messages) or retrying (error replies).
    property bool canEdit: false
    property bool canRetry: false
    // Why editing and retrying are unavailable now (a reply is being written); empty when they are.
    property string blockedReason: ""
    property bool isHovered: false
    property bool copied: false

    signal editRequested()
    signal retryRequested()

    readonly property var activityRows: role === "tool_result" ? ToolActivity.rows(toolCalls) : []
    readonly property bool isActivity: activityRows.length > 0
    readonly property bool hidden: !isActivity && ChatRules.shouldHide(role, content)
    readonly property bool isUser: role === "user"
    readonly property bool isImage: !hidden && ChatRules.contentKind(content) === "image"
    readonly property bool actionsShown: isHovered || ChatRules.isErrorReply(role, content)

    visible: !hidden
    implicitHeight: hidden ? 0 : isActivity ? activityColumn.implicitHeight
                                : (isUser ? userRow.implicitHeight : assistantColumn.implicitHeight)

    HoverHandler {
        id: hover
        onHoveredChanged: bubble.isHovered = hovered
    }

    Component {
        id: imageComponent
        Image {
            objectName: "messageImage"
            source: ChatRules.imageSource(bubble.content)
            sourceSize: Qt.size(400, 280)
            width: Math.min(400, implicitWidth)
            height: Math.min(280, implicitHeight)
            fillMode: Image.PreserveAspectFit
            asynchronous: true
            Accessible.name: "Image"
        }
    }

    // User message
    RowLayout {
        id: userRow
        visible: bubble.isUser && !bubble.hidden
        anchors.right: parent.right
        width: parent.width
        spacing: 8
        layoutDirection: Qt.RightToLeft

        Loader {
            Layout.alignment: Qt.AlignBottom
            active: bubble.isUser && bubble.isImage
            visible: active
            sourceComponent: imageComponent
        }

        Rectangle {
            id: userBubble
            objectName: "userBubble"
            visible: bubble.isUser && !bubble.isImage
            Layout.alignment: Qt.AlignBottom
            Layout.maximumWidth: bubble.width - Theme.userGap - editButton.width - 8
            implicitWidth: userText.width
            implicitHeight: userText.height
            radius: Theme.bubbleRadius
            gradient: Gradient {
                orientation: Gradient.Horizontal
                GradientStop { position: 0; color: Theme.accent }
                GradientStop { position: 1; color: Theme.accentDeep }
            }

            TextEdit {
                id: userText
                objectName: "userText"
                width: Math.min(implicitWidth, userBubble.Layout.maximumWidth)
                text: bubble.isUser ? bubble.content : ""
                textFormat: TextEdit.PlainText
                readOnly: true
                selectByMouse: true
                wrapMode: TextEdit.Wrap
                leftPadding: 16
                rightPadding: 16
                topPadding: 11
                bottomPadding: 11
                color: "white"
                selectedTextColor: Theme.accent
                selectionColor: "white"
                font.pixelSize: Theme.bodySize
                Accessible.name: text
            }
        }

        IconButton {
            id: editButton
            objectName: "editButton_" + bubble.messageId
            Layout.alignment: Qt.AlignBottom
            symbol: "pencil.circle.fill"
            iconSize: 16
            tint: Theme.secondaryText
            toolTipText: bubble.blockedReason !== "" ? bubble.blockedReason : "Edit message"
            Accessible.name: "Edit message"
            Accessible.description: bubble.blockedReason
            shown: bubble.canEdit && bubble.isHovered
            // Greyed rather than disabled, so the tooltip can say why.
            opacity: shown ? (bubble.blockedReason !== "" ? 0.35 : 1) : 0
            onClicked: if (bubble.blockedReason === "") bubble.editRequested()
        }

        Item { Layout.fillWidth: true }
    }

    // Assistant message
    Column {
        id: assistantColumn
        visible: !bubble.isUser && !bubble.isActivity && !bubble.hidden
        width: parent.width
        spacing: 4

        Row {
            width: parent.width
            spacing: 12

            Avatar {}

            Loader {
                id: assistantContent
                objectName: "assistantContent"
                width: parent.width - Theme.avatarSize - 12
                y: 3
                active: !bubble.isUser && !bubble.isActivity && !bubble.hidden
                sourceComponent: bubble.isImage ? imageComponent : markdownComponent
            }

            Component {
                id: markdownComponent
                MarkdownContentView {
                    objectName: "assistantMarkdown"
                    width: assistantContent.width
                    text: bubble.content
                }
            }
        }

        Label {
            objectName: "replyCaption_" + bubble.messageId
            visible: bubble.caption !== "" && !bubble.isImage
            leftPadding: 42
            text: bubble.caption
            font.pixelSize: Theme.captionSize - 1
            color: Theme.secondaryText
        }

        Row {
            id: actionRow
            objectName: "actionRow_" + bubble.messageId
            leftPadding: 42
            spacing: 10
            height: bubble.actionsShown ? implicitHeight : 0
            opacity: bubble.actionsShown ? 1 : 0
            visible: opacity > 0
            Behavior on opacity { NumberAnimation { duration: Theme.hoverDuration; easing.type: Easing.InOutQuad } }

            TextIconButton {
                objectName: "copyButton_" + bubble.messageId
                symbol: bubble.copied ? "checkmark" : "doc.on.doc"
                text: bubble.copied ? "Copied" : "Copy"
                tint: bubble.copied ? Theme.green : Theme.secondaryText
                onClicked: {
                    ChatRules.copyToClipboard(bubble.content)
                    bubble.copied = true
                    copiedReset.restart()
                }
            }

            TextIconButton {
                objectName: "retryButton_" + bubble.messageId
                visible: bubble.canRetry
                symbol: "arrow.clockwise"
                text: "Retry"
                tint: bubble.blockedReason !== "" ? Theme.secondaryText : Theme.accent
                opacity: bubble.blockedReason !== "" ? 0.5 : 1
                Accessible.description: bubble.blockedReason
                ToolTip.visible: hovered && bubble.blockedReason !== ""
                ToolTip.text: bubble.blockedReason
                ToolTip.delay: 300
                onClicked: if (bubble.blockedReason === "") bubble.retryRequested()
            }
        }
    }

    // Tool activity: one row per handled call, lined up with the assistant's text
    Column {
        id: activityColumn
        visible: bubble.isActivity
        x: 42
        width: parent.width - 42
        spacing: 4
        Repeater {
            model: bubble.activityRows
            delegate: ActivityRow {
                required property var modelData
                required property int index
                objectName: "activityRow_" + index
                width: activityColumn.width
                entry: modelData
            }
        }
    }

    Timer {
        id: copiedReset
        interval: Theme.bubbleCopyConfirmation
        onTriggered: bubble.copied = false
    }
}
