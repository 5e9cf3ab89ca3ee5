// Takes one screenshot of the display it is pointed at and prints the result, so a test can
// capture screens of sizes other than its own.
#include "tools/Screenshot.h"

#include <QGuiApplication>
#include <cstdio>

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QString result = QCoro::waitFor(Screenshot::takeScreenshot());
    std::fputs(qPrintable(result), stdout);
    return 0;
}
