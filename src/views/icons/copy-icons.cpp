// Copies the icons the views use out of the Breeze theme's resource file, one SVG per symbol:
//   morlo-copy-icons <breeze-icons.rcc> <output folder> <symbol>=<icon>…
// writes <output folder>/<symbol>.svg from the theme's <icon>.svg. Runs at build time, so the
// app carries only these few icons instead of opening the whole theme at every start.
#include <QDir>
#include <QFile>
#include <QResource>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <breeze-icons.rcc> <output folder> <symbol>=<icon>...\n", argv[0]);
        return 2;
    }
    const QString theme = QStringLiteral("/breeze");
    if (!QResource::registerResource(QString::fromLocal8Bit(argv[1]), theme)) {
        std::fprintf(stderr, "%s: cannot open the icon theme %s\n", argv[0], argv[1]);
        return 1;
    }
    const QDir output(QString::fromLocal8Bit(argv[2]));
    if (!output.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "%s: cannot make %s\n", argv[0], argv[2]);
        return 1;
    }
    for (int i = 3; i < argc; ++i) {
        const QString pair = QString::fromLocal8Bit(argv[i]);
        const qsizetype equals = pair.indexOf(QLatin1Char('='));
        if (equals <= 0) {
            std::fprintf(stderr, "%s: not <symbol>=<icon>: %s\n", argv[0], argv[i]);
            return 2;
        }
        QFile icon(QStringLiteral(":%1/%2.svg").arg(theme, pair.mid(equals + 1)));
        QFile copy(output.filePath(pair.left(equals) + QStringLiteral(".svg")));
        if (!icon.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "%s: the theme has no icon %s\n", argv[0], qPrintable(pair.mid(equals + 1)));
            return 1;
        }
        const QByteArray svg = icon.readAll();
        if (!copy.open(QIODevice::WriteOnly | QIODevice::Truncate) || copy.write(svg) != svg.size()) {
            std::fprintf(stderr, "%s: cannot write %s\n", argv[0], qPrintable(copy.fileName()));
            return 1;
        }
    }
    return 0;
}
