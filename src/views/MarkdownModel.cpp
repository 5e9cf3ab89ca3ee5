#include "MarkdownModel.h"

using namespace MarkdownBlocks;

QList<MarkdownModel::Row> MarkdownModel::rowsFor(const QList<Block> &blocks)
{
    static const QString kindNames[] = {QStringLiteral("heading"), QStringLiteral("bullet"),
                                        QStringLiteral("paragraph")};
    QList<Row> rows;
    for (const Block &block : blocks) {
        if (block.kind == Block::Kind::code) {
            rows.append({QStringLiteral("code"), 0, block.content, block.language.value_or(QString()), true});
            continue;
        }
        bool first = true;
        for (const TextLine &line : block.lines) {
            rows.append({kindNames[int(line.kind)], line.level, line.content, QString(), first});
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
            {StartsBlockRole, "startsBlock"}};
}
