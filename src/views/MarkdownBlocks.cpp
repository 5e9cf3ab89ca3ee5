#include "MarkdownBlocks.h"

namespace MarkdownBlocks {

// Spaces and tabs only: a carriage return stays part of the line.
QString trimSpacesAndTabs(const QString &text)
{
    qsizetype start = 0;
    qsizetype end = text.size();
    auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (start < end && blank(text.at(start)))
        ++start;
    while (end > start && blank(text.at(end - 1)))
        --end;
    return text.mid(start, end - start);
}

namespace {

const QString fence = QStringLiteral("```");

Block codeBlock(const QString &piece)
{
    Block block;
    block.kind = Block::Kind::code;
    block.content = piece;
    const qsizetype lineFeed = piece.indexOf(QLatin1Char('\n'));
    if (lineFeed >= 0) {
        const QString first = trimSpacesAndTabs(piece.left(lineFeed));
        if (!first.isEmpty() && first.size() < 24 && !first.contains(QLatin1Char(' '))) {
            block.language = first;
            block.content = piece.mid(lineFeed + 1);
        }
    }
    return block;
}

} // namespace

QList<Block> parseBlocks(const QString &text)
{
    QList<Block> blocks;
    const QStringList pieces = text.split(fence, Qt::KeepEmptyParts);
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (i % 2 == 1) {
            blocks.append(codeBlock(pieces.at(i)));
            continue;
        }
        QList<TextLine> lines = parseLines(pieces.at(i));
        if (!lines.isEmpty()) {
            Block block;
            block.lines = std::move(lines);
            blocks.append(std::move(block));
        }
    }
    return blocks;
}

QList<TextLine> parseLines(const QString &text)
{
    QList<TextLine> lines;
    QStringList paragraph;
    auto flushParagraph = [&] {
        if (!paragraph.isEmpty()) {
            const QString joined = paragraph.join(QLatin1Char('\n')).trimmed();
            if (!joined.isEmpty())
                lines.append({TextLine::Kind::paragraph, 0, joined});
        }
        paragraph.clear();
    };
    auto marker = [&](TextLine::Kind kind, int level, const QString &content) {
        flushParagraph();
        lines.append({kind, level, content});
    };

    const QStringList rawLines = text.split(QLatin1Char('\n'));
    for (const QString &raw : rawLines) {
        const QString t = trimSpacesAndTabs(raw);
        if (t.isEmpty())
            flushParagraph();
        else if (t.startsWith(QLatin1String("### ")))
            marker(TextLine::Kind::heading, 3, t.mid(4));
        else if (t.startsWith(QLatin1String("## ")))
            marker(TextLine::Kind::heading, 2, t.mid(3));
        else if (t.startsWith(QLatin1String("# ")))
            marker(TextLine::Kind::heading, 1, t.mid(2));
        else if (t.startsWith(QLatin1String("- ")) || t.startsWith(QLatin1String("* ")))
            marker(TextLine::Kind::bullet, 0, t.mid(2));
        else
            paragraph.append(raw);
    }
    flushParagraph();
    return lines;
}

} // namespace MarkdownBlocks
