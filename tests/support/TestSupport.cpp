#include "TestSupport.h"

#include <QDir>
#include <QStandardPaths>

namespace TestSupport {

QString fakesDirectory()
{
    return qEnvironmentVariable("MORLO_FAKES_DIR");
}

QString screenshotDirectory()
{
    const QString dir = qEnvironmentVariable("MORLO_SCREENSHOT_DIR", QDir::temp().filePath(QStringLiteral("morlo-screenshots")));
    QDir().mkpath(dir);
    return dir;
}

void resetUserData()
{
    // Each test runs with a private HOME (see tests/CMakeLists.txt); never wipe a real one.
    Q_ASSERT(qEnvironmentVariableIsSet("MORLO_TEST_BINARY_DIR"));
    QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Morlo AI")).removeRecursively();
    QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/Morlo AI")).removeRecursively();
}

} // namespace TestSupport
