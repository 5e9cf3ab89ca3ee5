#pragma once

#include "MarkdownBlocks.h"

#include <QAbstractListModel>
#include <QtQml/qqmlregistration.h>

// The parsed blocks of a text as a flat list of rows for the Markdown view: one row per heading,
// bullet, paragraph or code block. The text is parsed afresh on every change; only rows whose
// content differs are announced, so a streaming reply redraws its last line instead of all.
class MarkdownModel : public QAbstractListModel
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)

public:
    enum Role { KindRole = Qt::UserRole + 1, LevelRole, ContentRole, LanguageRole, StartsBlockRole, ContinuesRole };
    Q_ENUM(Role)

    // One row: kind is "heading", "bullet", "paragraph" or "code".
    struct Row
    {
        QString kind;
        int level = 0;
        QString content;
        QString language;
        bool startsBlock = false; // first row of a block: the wider gap goes above it
        bool continues = false;   // a later piece of a very long line: no gap above it
        bool operator==(const Row &) const = default;
    };

    using QAbstractListModel::QAbstractListModel;

    QString text() const { return m_text; }
    void setText(const QString &text);

    // Text lines longer than this are drawn as several pieces: laying out one enormous line at
    // once would freeze the window.
    static constexpr qsizetype pieceLength = 1024;

    static QList<Row> rowsFor(const QList<MarkdownBlocks::Block> &blocks);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    void textChanged();

private:
    QString m_text;
    QList<Row> m_rows;
};
