#include "platform/AppPaths.h"

#include <QDir>
#include <QStandardPaths>

namespace AppPaths {

QString appSupportDirectory()
{
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    const QString dir = QDir(base).filePath(QStringLiteral("Morlo AI"));
    QDir().mkpath(dir);
    return dir;
}

QString modelsDirectory()
{
    const QString dir = QDir(appSupportDirectory()).filePath(QStringLiteral("models"));
    QDir().mkpath(dir);
    return dir;
}

QString chatArchivePath()
{
    return QDir(appSupportDirectory()).filePath(QStringLiteral("chatSessions.json"));
}

} // namespace AppPaths
