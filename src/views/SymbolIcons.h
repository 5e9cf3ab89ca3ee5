#pragma once

#include <QColor>
#include <QObject>
#include <QStringList>
#include <QUrl>
#include <QtQml/qqmlregistration.h>

// The symbol names the views use ("sparkles", "lock.shield.fill", …), each drawn by an icon of
// the Breeze theme. The table is icons/symbols.txt; the build copies just those icons into the
// app. Icons are drawn tinted in one colour, like the monochrome symbols they stand for.
class SymbolIcons : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    // image://symbol/… for an Image; empty when the symbol is unknown.
    Q_INVOKABLE QUrl source(const QString &symbol, const QColor &color) const;

    // Every symbol name the table knows.
    static QStringList symbols();
    // The symbol's icon file inside the app (":/symbols/…svg"), empty when unknown.
    static QString iconPath(const QString &symbol);
};
