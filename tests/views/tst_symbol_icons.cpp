#include "SymbolIcons.h"
#include "SymbolImageProvider.h"

#include <QGuiApplication>
#include <QTest>

// Every symbol a view names must come out as a real, visible icon in the colour asked for.
class TestSymbolIcons : public QObject
{
    Q_OBJECT

private slots:
    void drawsEverySymbol_data()
    {
        QTest::addColumn<QString>("symbol");
        const char *used[] = {
            "app.badge", "apps.iphone", "arrow.clockwise", "arrow.down.doc.fill", "arrow.up",
            "arrow.up.right", "bolt.fill", "brain.head.profile", "bubble.left.and.bubble.right.fill",
            "camera.viewfinder", "checkmark", "checkmark.circle.fill", "chevron.down", "chevron.right",
            "chevron.up", "clock.arrow.circlepath", "cpu", "cpu.fill", "doc.on.doc", "doc.text",
            "doc.text.fill", "equal.circle.fill", "exclamationmark.circle.fill",
            "exclamationmark.triangle.fill", "folder", "gear", "hand.wave.fill", "info.circle",
            "lock.shield.fill", "magnifyingglass", "pencil", "pencil.circle.fill", "pin", "pin.fill", "pin.slash",
            "sidebar.left", "slider.horizontal.3", "sparkles", "square.and.arrow.down", "square.and.arrow.up",
            "square.and.pencil", "stop.fill", "terminal.fill", "text.quote", "trash",
            "wrench.and.screwdriver.fill", "xmark.circle", "xmark.circle.fill",
        };
        for (const char *symbol : used)
            QTest::newRow(symbol) << QString::fromLatin1(symbol);
    }

    void drawsEverySymbol()
    {
        QFETCH(QString, symbol);
        QVERIFY2(SymbolIcons::symbols().contains(symbol), "symbol missing from the icon table");
        SymbolImageProvider provider;
        QSize size;
        const QImage image = provider.requestImage(symbol + QStringLiteral("/ffff9500"), &size, QSize(26, 26));
        QCOMPARE(size, QSize(26, 26));
        QRect inked;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                if (pixel.alpha() == 0 || (pixel.red() == 255 && pixel.green() == 255 && pixel.blue() == 255))
                    continue;
                // Everything else is the tint; white marks inside a shape may remain.
                QVERIFY(pixel.red() == 0xff && pixel.green() == 0x95 && pixel.blue() == 0);
                if (pixel.alpha() >= 160)
                    inked |= QRect(x, y, 1, 1);
            }
        // Shown at the size the view asks for, not as a small mark inside an empty margin.
        QVERIFY2(qMax(inked.width(), inked.height()) >= 20, "icon is much smaller than its box");
    }

    void unknownSymbolHasNoSource()
    {
        QVERIFY(SymbolIcons::iconPath(QStringLiteral("no.such.symbol")).isEmpty());
        QVERIFY(SymbolIcons::iconPath(QStringLiteral("../symbols/sparkles")).isEmpty());
        QVERIFY(!SymbolIcons::iconPath(QStringLiteral("sparkles")).isEmpty());
    }
};

QTEST_MAIN(TestSymbolIcons)
#include "tst_symbol_icons.moc"
