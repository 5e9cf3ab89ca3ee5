#include "TestSupport.h"

#include <QDir>
#include <QStandardPaths>

namespace TestSupport {

QString fakesDirectory()
{
    return qEnvironmentVariable("MORLO_FAKES_DIR");
}

quint16 startFake(QProcess &process, const QString &name, const QStringList &arguments, int timeoutMs)
{
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QDir(fakesDirectory()).filePath(name), arguments);
    if (!process.waitForReadyRead(timeoutMs))
        return 0;
    const QByteArray line = process.readLine().trimmed();
    return line.startsWith("port ") ? line.mid(5).toUShort() : 0;
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

QString realEnginesDirectory()
{
    const QString dir = qEnvironmentVariable("MORLO_REAL_ENGINES");
    return !dir.isEmpty() && QDir(dir).exists() ? dir : QString();
}

QList<RealEngine> realEngines()
{
    const QString dir = realEnginesDirectory();
    if (dir.isEmpty())
        return {};
    return {{QStringLiteral("b4748"), dir + QStringLiteral("/llama-server-b4748")},
            {QStringLiteral("b9591"), dir + QStringLiteral("/llama-server-b9591")}};
}

QString realTinyModel()
{
    const QString dir = realEnginesDirectory();
    return dir.isEmpty() ? QString() : dir + QStringLiteral("/model-tiny-random.gguf");
}

} // namespace TestSupport
