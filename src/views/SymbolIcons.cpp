#include "SymbolIcons.h"

#include "SymbolImageProvider.h"

#include <QDir>
#include <QFile>
#include <QQmlEngine>

namespace {

const QString providerName = QStringLiteral("symbol");
const QString iconFolder = QStringLiteral(":/symbols");
const QString iconSuffix = QStringLiteral(".svg");

} // namespace

QUrl SymbolIcons::source(const QString &symbol, const QColor &color) const
{
    if (iconPath(symbol).isEmpty())
        return {};
    // The engine that asks is the one that will load the image: make sure it can.
    if (QQmlEngine *engine = qmlEngine(this); engine && !engine->imageProvider(providerName))
        engine->addImageProvider(providerName, new SymbolImageProvider);
    return QUrl(QStringLiteral("image://%1/%2/%3").arg(providerName, symbol, color.name(QColor::HexArgb).mid(1)));
}

QStringList SymbolIcons::symbols()
{
    QStringList names;
    for (const QString &file : QDir(iconFolder).entryList({QLatin1Char('*') + iconSuffix}, QDir::Files))
        names.append(file.chopped(iconSuffix.size()));
    return names;
}

QString SymbolIcons::iconPath(const QString &symbol)
{
    // A name is one file of the folder, never a way out of it.
    if (symbol.isEmpty() || symbol.contains(QLatin1Char('/')))
        return {};
    const QString path = iconFolder + QLatin1Char('/') + symbol + iconSuffix;
    return QFile::exists(path) ? path : QString();
}
