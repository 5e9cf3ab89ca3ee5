import QtQuick
import QtQuick.Controls
import MorloAI

// A reply drawn as light Markdown: headings, bullets and paragraphs with inline spans, and
// fenced code blocks; 10 points between blocks, 5 between the lines of a block.
Column {
    id: view

    // An alias, not a copy: a long reply's text is passed on without another script string.
    property alias text: blocks.text

    Repeater {
        model: MarkdownModel { id: blocks }

        delegate: Item {
            id: row
            required property string kind
            required property int level
            required property string content
            required property string language
            required property bool startsBlock
            required property bool continues
            required property int index

            readonly property real gap: index === 0 || continues ? 0 : (startsBlock ? 10 : 5)

            width: view.width
            height: gap + loader.height

            Loader {
                id: loader
                y: row.gap
                // The later pieces of an enormous line build over several frames, so the
                // window keeps answering meanwhile.
                asynchronous: row.continues
                width: row.width
                sourceComponent: row.kind === "code" ? codeComponent
                               : row.kind === "heading" ? headingComponent
                               : row.kind === "bullet" ? bulletComponent
                               : paragraphComponent
            }

            Component {
                id: codeComponent
                CodeBlockView {
                    width: row.width
                    code: row.content
                    language: row.language
                }
            }

            Component {
                id: headingComponent
                TextEdit {
                    objectName: "markdownHeading"
                    width: row.width
                    topPadding: row.level === 1 ? 4 : 2
                    text: row.content
                    textFormat: TextEdit.PlainText
                    readOnly: true
                    selectByMouse: true
                    wrapMode: TextEdit.Wrap
                    font.pixelSize: Theme.headingSize(row.level)
                    font.weight: Theme.headingWeight(row.level)
                    color: Theme.textColor
                    selectionColor: Theme.withAlpha(Theme.accent, 0.35)
                    Accessible.name: text
                }
            }

            Component {
                id: bulletComponent
                Row {
                    leftPadding: 6
                    spacing: 8
                    Label {
                        topPadding: 1
                        text: "•"
                        font.pixelSize: Theme.bodySize
                        color: Theme.secondaryText
                    }
                    InlineMarkdownText {
                        objectName: "markdownBullet"
                        width: row.width - 6 - 8 - 10
                        markdown: row.content
                    }
                }
            }

            Component {
                id: paragraphComponent
                InlineMarkdownText {
                    objectName: "markdownParagraph"
                    width: row.width
                    markdown: row.content
                }
            }
        }
    }
}
