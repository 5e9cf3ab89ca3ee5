#include "CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace CommandLine {

std::optional<int> handle(int argc, char *argv[])
{
    QCommandLineParser parser;
    // Qt's own options are written with one dash (-platform, -reverse, -stylesheet); read them
    // as words, not as runs of single letters that could spell -h or -v.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("Chat with large language models running privately on your computer."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and quit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and quit."));
    parser.addOptions({help, version});

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // Unknown options are not an error here: they are Qt's, read when the application starts.
    parser.parse(arguments);
    if (!parser.isSet(help) && !parser.isSet(version))
        return std::nullopt;

    if (parser.isSet(version)) {
        std::printf("Morlo AI %s\n", MORLO_VERSION);
        return 0;
    }
    // A console application object, never a window, so the usage line names the program as it
    // was typed.
    QCoreApplication console(argc, argv);
    std::fputs(qPrintable(parser.helpText()), stdout);
    return 0;
}

} // namespace CommandLine
