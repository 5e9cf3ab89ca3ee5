#pragma once

#include <QList>
#include <QProcess>
#include <QString>
#include <QTest>

namespace TestSupport {

// Folder holding the fake engine, fake brew and the local hub server built with the tests.
QString fakesDirectory();
// Starts the fake program `name` (one that prints "port <n>" once it listens) and gives its
// port, or 0 when it did not come up within the time.
quint16 startFake(QProcess &process, const QString &name, const QStringList &arguments, int timeoutMs);
// Where UI tests save their screenshots: <build>/screenshots.
QString screenshotDirectory();
// Removes everything the app keeps under this test's private home (settings, archive, models).
void resetUserData();

// One real llama-server build from the test fixture.
struct RealEngine
{
    QString name;       // "b4748" (early 2025) or "b9591" (mid 2026)
    QString executable; // absolute path
};

// The unpacked real-engine fixture, or an empty text when this checkout has none.
QString realEnginesDirectory();
// Both real engines (empty when the fixture is absent).
QList<RealEngine> realEngines();
// The tiny real GGUF model of the fixture.
QString realTinyModel();

} // namespace TestSupport

// Skips the current test with one clear line when the real engines are not available.
#define MORLO_REQUIRE_REAL_ENGINES()                                                               \
    do {                                                                                           \
        if (TestSupport::realEnginesDirectory().isEmpty())                                         \
            QSKIP("real engines not available (no shared/real-engines next to this checkout)");   \
    } while (false)
