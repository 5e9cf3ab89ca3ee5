import QtQuick
import MorloAI
import QtQuick.Controls

// A reply drawn as light Markdown: headings, bullets and paragraphs with inline spans, and
// fenced code blocks. The text is parsed again whenever it changes.
Column {
    id: view

    property string text

    spacing: 10

    Repeater {
        model: Markdown.parseBlocks(view.text)

        delegate: Loader {
            required property var modelData
            width: view.width
            sourceComponent: modelData.kind === "code" ? codeComponent : textComponent

            Component {
                id: codeComponent
                CodeBlockView {
                    code: modelData.content
                    language: modelData.language
                }
            }

            Component {
                id: textComponent
                Column {
                    spacing: 5
                    Repeater {
                        model: modelData.lines
                        delegate: Loader {
                            required property var modelData
                            width: view.width
                            sourceComponent: modelData.kind === "heading" ? headingComponent
                                           : modelData.kind === "bullet" ? bulletComponent
                                           : paragraphComponent

                            Component {
                                id: headingComponent
                                TextEdit {
                                    objectName: "markdownHeading"
                                    topPadding: modelData.level === 1 ? 4 : 2
                                    text: modelData.content
                                    textFormat: TextEdit.PlainText
                                    readOnly: true
                                    selectByMouse: true
                                    wrapMode: TextEdit.Wrap
                                    font.pixelSize: Theme.headingSize(modelData.level)
                                    font.weight: Theme.headingWeight(modelData.level)
                                    color: Theme.textColor
                                    selectionColor: Theme.withAlpha(Theme.accent, 0.35)
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
                                        width: view.width - 6 - 8 - 10
                                        markdown: modelData.content
                                    }
                                }
                            }

                            Component {
                                id: paragraphComponent
                                InlineMarkdownText {
                                    objectName: "markdownParagraph"
                                    width: view.width
                                    markdown: modelData.content
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}
