#include "AppModel.h"

#include <QApplication>
#include <QQmlApplicationEngine>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Morlo AI"));
    QApplication::setOrganizationName(QStringLiteral("Morlo AI"));
    QApplication::setApplicationDisplayName(QStringLiteral("Morlo AI"));

    AppModel app;
    QQmlApplicationEngine engine;
    if (!app.loadMainWindow(engine))
        return 1;
    return QApplication::exec();
}
