#include "SymbolImageProvider.h"

#include "SymbolIcons.h"

#include <QPainter>
#include <QSvgRenderer>

SymbolImageProvider::SymbolImageProvider()
    : QQuickImageProvider(QQuickImageProvider::Image)
{
}

QImage SymbolImageProvider::requestImage(const QString &id, QSize *size, const QSize &requestedSize)
{
    const qsizetype slash = id.lastIndexOf(QLatin1Char('/'));
    const QString symbol = id.left(slash);
    const QColor colour(slash < 0 ? QString() : QLatin1Char('#') + id.mid(slash + 1));

    const QSize target(requestedSize.width() > 0 ? requestedSize.width() : defaultSize,
                       requestedSize.height() > 0 ? requestedSize.height() : defaultSize);
    QImage image(target, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);

    QSvgRenderer renderer(SymbolIcons::iconPath(symbol));
    if (renderer.isValid()) {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.setAspectRatioMode(Qt::KeepAspectRatio);
        renderer.render(&painter);
        // The symbols are monochrome: keep the shape, take the requested colour.
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), colour.isValid() ? colour : QColor(Qt::black));
    }
    if (size)
        *size = image.size();
    return image;
}
