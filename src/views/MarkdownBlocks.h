#pragma once

#include <QList>
#include <QString>
#include <optional>

// The light block structure of a reply: fenced code, headings, bullets and paragraphs. Inline
// spans are left to the text renderer. Parsing is linear and redone on every render.
namespace MarkdownBlocks {

struct TextLine
{
    enum class Kind { heading, bullet, paragraph };
    Kind kind = Kind::paragraph;
    int level = 0; // headings only: 1, 2 or 3
    QString content;
    bool operator==(const TextLine &) const = default;
};

struct Block
{
    enum class Kind { text, code };
    Kind kind = Kind::text;
    QList<TextLine> lines;           // text blocks
    QString content;                 // code blocks
    std::optional<QString> language; // code blocks
    bool operator==(const Block &) const = default;
};

QList<Block> parseBlocks(const QString &text);
// Trims spaces and tabs only: a carriage return stays part of the line.
QString trimSpacesAndTabs(const QString &text);
QList<TextLine> parseLines(const QString &text);

} // namespace MarkdownBlocks
