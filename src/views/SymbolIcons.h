#pragma once

#include <QColor>
#include <QObject>
#include <QStringList>
#include <QUrl>
#include <QtQml/qqmlregistration.h>

// The one table from the symbol names the views use ("sparkles", "lock.shield.fill", …) to icons
// of the Breeze theme, which ships as a Qt resource file with the system's icon packages. Icons are
// drawn tinted in one colour, like the monochrome symbols they stand for.
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
    // The icon file inside the loaded Breeze resource (":/breeze/…svg"), empty when unknown.
    static QString iconPath(const QString &symbol);
    // Makes the Breeze resource file available under ":/breeze"; true when it is.
    static bool loadIconTheme();
};
