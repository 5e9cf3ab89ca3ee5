#include "MarkdownModel.h"

using namespace MarkdownBlocks;

namespace {

// Splits at the last space or line feed before the limit when there is one, never inside a
// surrogate pair.
QStringList pieces(const QString &text)
{
    QStringList result;
    qsizetype start = 0;
    while (text.size() - start > MarkdownModel::pieceLength) {
        qsizetype end = start + MarkdownModel::pieceLength;
        qsizetype space = end - 1;
        while (space > start + MarkdownModel::pieceLength / 2 && text.at(space) != QLatin1Char(' ')
               && text.at(space) != QLatin1Char('\n'))
            --space;
        if (space > start + MarkdownModel::pieceLength / 2)
            end = space + 1;
        else if (text.at(end - 1).isHighSurrogate())
            --end;
        result.append(text.mid(start, end - start));
        start = end;
    }
    result.append(text.mid(start));
    return result;
}

} // namespace

QList<MarkdownModel::Row> MarkdownModel::rowsFor(const QList<Block> &blocks)
{
    static const QString kindNames[] = {QStringLiteral("heading"), QStringLiteral("bullet"),
                                        QStringLiteral("paragraph")};
    QList<Row> rows;
    for (const Block &block : blocks) {
        if (block.kind == Block::Kind::code) {
            rows.append({QStringLiteral("code"), 0, block.content, block.language.value_or(QString()), true, false});
            continue;
        }
        bool first = true;
        for (const TextLine &line : block.lines) {
            if (line.content.size() <= pieceLength) {
                rows.append({kindNames[int(line.kind)], line.level, line.content, QString(), first, false});
            } else {
                bool continues = false;
                for (const QString &piece : pieces(line.content)) {
                    rows.append({kindNames[int(line.kind)], line.level, piece, QString(), first, continues});
                    continues = true;
                }
            }
            first = false;
        }
    }
    return rows;
}

void MarkdownModel::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    const QList<Row> rows = rowsFor(parseBlocks(text));

    const qsizetype common = std::min(rows.size(), m_rows.size());
    qsizetype firstChanged = common;
    for (qsizetype i = 0; i < common; ++i) {
        if (!(rows.at(i) == m_rows.at(i))) {
            firstChanged = i;
            break;
        }
    }
    qsizetype lastChanged = -1;
    for (qsizetype i = common - 1; i >= firstChanged; --i) {
        if (!(rows.at(i) == m_rows.at(i))) {
            lastChanged = i;
            break;
        }
    }

    if (rows.size() < m_rows.size()) {
        beginRemoveRows({}, int(rows.size()), int(m_rows.size() - 1));
        m_rows.resize(rows.size());
        endRemoveRows();
    }
    for (qsizetype i = firstChanged; i <= lastChanged; ++i)
        m_rows[i] = rows.at(i);
    if (lastChanged >= firstChanged)
        emit dataChanged(index(int(firstChanged)), index(int(lastChanged)));
    if (rows.size() > m_rows.size()) {
        beginInsertRows({}, int(m_rows.size()), int(rows.size() - 1));
        m_rows.append(rows.mid(m_rows.size()));
        endInsertRows();
    }
    emit textChanged();
}

int MarkdownModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant MarkdownModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const Row &row = m_rows.at(index.row());
    switch (role) {
    case KindRole:
        return row.kind;
    case LevelRole:
        return row.level;
    case ContentRole:
        return row.content;
    case LanguageRole:
        return row.language;
    case StartsBlockRole:
        return row.startsBlock;
    case ContinuesRole:
        return row.continues;
    default:
        return {};
    }
}

QHash<int, QByteArray> MarkdownModel::roleNames() const
{
    return {{KindRole, "kind"},
            {LevelRole, "level"},
            {ContentRole, "content"},
            {LanguageRole, "language"},
            {StartsBlockRole, "startsBlock"},
            {ContinuesRole, "continues"}};
}
