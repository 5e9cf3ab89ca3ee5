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
        {
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing);
            renderer.setAspectRatioMode(Qt::KeepAspectRatio);
            // Breeze draws inside the middle of its canvas (16 of 22 pixels, a few shapes one
            // pixel more); a symbol fills its box, so the margin is cut to one canvas pixel and
            // the icon shows at the size the view gives it.
            const QRectF canvas = renderer.viewBoxF();
            renderer.setViewBox(canvas.marginsRemoved(QMarginsF(1, 1, 1, 1) * (canvas.width() * 2 / 22)));
            renderer.render(&painter);
        }
        // The symbols are drawn in one colour; the white marks some icons carry inside their
        // shape (the "!" of a warning, a check in a badge) stay white so they remain readable.
        const QColor tint = colour.isValid() ? colour : QColor(Qt::black);
        image = image.convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < image.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                const int alpha = qAlpha(line[x]);
                if (alpha == 0)
                    continue;
                const QColor base = qGray(line[x]) > markLightness ? QColor(Qt::white) : tint;
                line[x] = qRgba(base.red(), base.green(), base.blue(), alpha * tint.alpha() / 255);
            }
        }
    }
    if (size)
        *size = image.size();
    return image;
}
