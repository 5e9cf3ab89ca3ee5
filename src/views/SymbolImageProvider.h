#pragma once

#include <QQuickImageProvider>

// Draws one symbol of the icon table at the requested size in one colour. The id is
// "<symbol>/<colour as aarrggbb>" (hex, no "#": it would start a URL fragment).
class SymbolImageProvider : public QQuickImageProvider
{
public:
    SymbolImageProvider();
    QImage requestImage(const QString &id, QSize *size, const QSize &requestedSize) override;

    static constexpr int defaultSize = 22;
    // Pixels lighter than this are an icon's inner marks, kept white.
    static constexpr int markLightness = 200;
};
