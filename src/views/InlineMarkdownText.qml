import QtQuick
import MorloAI
import QtQuick.Controls

// One line or paragraph with inline Markdown (strong, emphasis, strikethrough, code, links),
// selectable; block structure is neutralised before rendering.
TextEdit {
    id: line

    property string markdown

    text: ChatRules.inlineMarkdownHtml(markdown)
    textFormat: TextEdit.RichText
    readOnly: true
    selectByMouse: true
    wrapMode: TextEdit.Wrap
    font.pixelSize: Theme.bodySize
    color: Theme.textColor
    selectionColor: Theme.withAlpha(Theme.accent, 0.35)
    onLinkActivated: link => ChatRules.openLink(link)
    // The real target, whatever the link's text says.
    ToolTip.visible: hoveredLink !== ""
    ToolTip.text: hoveredLink
    ToolTip.delay: 300
    Accessible.name: markdown
}
