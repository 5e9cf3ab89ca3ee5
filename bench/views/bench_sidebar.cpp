// The main window with 1,000 stored conversations of 50 messages each:
//  (a) sidebar search per keystroke, typed and erased again, until the window shows the result
//      (filter over titles and every message, list changes, layout, frame), worst and mean;
//  (b) start-up: reading the archive, building the shared objects and loading the window, until
//      its first frame is drawn (in process, after the Qt libraries are loaded);
//  (c) resident memory once the window has settled, no engine running, and how much of it is
//      the app's own data rather than pages of libraries, fonts and shared buffers.

#include "AppModel.h"
#include "SessionFilterModel.h"
#include "conversation/ArchiveStore.h"
#include "conversation/DefaultsStore.h"
#include "platform/AppPaths.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdio>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

QList<ChatSession> archive()
{
    QList<ChatSession> sessions;
    for (int s = 0; s < 1000; ++s) {
        ChatSession session = ChatSession::make();
        session.title = QStringLiteral("Conversation %1 about topic %2").arg(s).arg(s % 37);
        session.isPinned = s % 50 == 0;
        for (int m = 0; m < 50; ++m) {
            session.messages.append(Message::make(
                m % 2 ? Roles::assistant : Roles::user,
                QStringLiteral("Message %1 of conversation %2: a paragraph of ordinary chat text that "
                               "talks about files, folders, screenshots and the weather in town %3.")
                    .arg(m).arg(s).arg(s * 50 + m)));
        }
        sessions.append(session);
    }
    return sessions;
}

// A kB figure of /proc/self/status ("VmRSS") or /proc/self/smaps_rollup ("Rss", "Anonymous").
long memoryKB(const char *file, const QByteArray &field)
{
    QFile status(QString::fromLatin1(file));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').first().toLong();
    }
    return -1;
}

// Items of the window are found through the visual tree: list and layout children are not
// QObject children of their parents.
QQuickItem *findItem(QQuickItem *item, const QString &objectName)
{
    if (item->objectName() == objectName)
        return item;
    for (QQuickItem *child : item->childItems()) {
        if (QQuickItem *found = findItem(child, objectName))
            return found;
    }
    return nullptr;
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
    QApplication application(argc, argv);
    ArchiveStore(AppPaths::chatArchivePath()).save(archive());
    DefaultsStore().setValue(DefaultsKeys::onboardingComplete, true);
#ifdef __GLIBC__
    // The archive built above (some 25 MB) is freed but stays with the allocator; the app never
    // holds it, so it must not count in the app's figure below.
    malloc_trim(0);
#endif

    // (b) start-up to the first frame.
    QElapsedTimer startup;
    startup.start();
    AppModel app;
    QQmlApplicationEngine engine;
    if (!app.loadMainWindow(engine))
        return 1;
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().first());
    bool drawn = false;
    QObject::connect(window, &QQuickWindow::frameSwapped, window, [&] { drawn = true; }, Qt::SingleShotConnection);
    while (!drawn)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const qint64 startupMs = startup.elapsed();

    // (a) typing into the sidebar's search and erasing it again, one real key press at a time,
    // each timed until the window has drawn the result: the filter, the list's row changes, the
    // layout pass and the frame.
    QObject *content = window->findChild<QObject *>(QStringLiteral("contentView"));
    QQuickItem *field = findItem(window->contentItem(), QStringLiteral("sessionSearchField"));
    if (!content || !field)
        return 1;
    field->forceActiveFocus();
    int frames = 0;
    QObject::connect(window, &QQuickWindow::frameSwapped, window, [&] { ++frames; });
    const auto keystroke = [&](auto key) {
        QCoreApplication::processEvents();
        const int before = frames;
        QElapsedTimer timer;
        timer.start();
        QTest::keyClick(window, key);
        while (frames == before && timer.elapsed() < 1000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        return timer.nsecsElapsed() / 1e6;
    };
    const QString typed = QStringLiteral("weather in town 49999");
    QList<double> perKey;
    for (int round = 0; round < 3; ++round) {
        for (QChar c : typed)
            perKey.append(keystroke(c.toLatin1()));
        for (qsizetype n = 0; n < typed.size(); ++n)
            perKey.append(keystroke(Qt::Key_Backspace));
    }
    const double worst = *std::max_element(perKey.begin(), perKey.end());
    double sum = 0;
    for (double ms : perKey)
        sum += ms;

    // The same keystrokes through the list model alone, without the view; then a pasted text
    // found nowhere, so every message of every session is searched with no earlier answer.
    SessionFilterModel filter;
    filter.setAgentStateObject(app.agentState());
    filter.setSessions(app.sessions());
    QStringList queries;
    for (qsizetype n = 1; n <= typed.size(); ++n)
        queries.append(typed.left(n));
    for (qsizetype n = typed.size() - 1; n >= 0; --n)
        queries.append(typed.left(n));
    double filterWorst = 0;
    double filterSum = 0;
    for (const QString &query : std::as_const(queries)) {
        QElapsedTimer key;
        key.start();
        filter.setSearchQuery(query);
        const double ms = key.nsecsElapsed() / 1e6;
        filterWorst = std::max(filterWorst, ms);
        filterSum += ms;
    }

    filter.setSearchQuery(QString());
    QElapsedTimer pasted;
    pasted.start();
    filter.setSearchQuery(QStringLiteral("zebra crossing"));
    const double pastedMs = pasted.nsecsElapsed() / 1e6;

    // (c) memory once idle.
    QTest::qWait(1500);
    std::printf("sidebar search per keystroke (1,000 x 50): worst %.2f ms, mean %.2f ms over %lld keys\n",
                worst, sum / perKey.size(), static_cast<long long>(perKey.size()));
    std::printf("  of which the list model: worst %.2f ms, mean %.2f ms; a pasted text found nowhere: %.2f ms\n",
                filterWorst, filterSum / queries.size(), pastedMs);
    std::printf("start-up to first drawn window (in process): %lld ms\n", static_cast<long long>(startupMs));
    const long rollupKB = memoryKB("/proc/self/smaps_rollup", "Rss");
    const long anonymousKB = memoryKB("/proc/self/smaps_rollup", "Anonymous");
    std::printf("idle resident memory, no engine: %.1f MB\n", memoryKB("/proc/self/status", "VmRSS") / 1024.0);
    std::printf("  of which the app's own data (anonymous pages) %.1f MB; libraries, fonts, resources "
                "and buffers shared with the display %.1f MB\n",
                anonymousKB / 1024.0, (rollupKB - anonymousKB) / 1024.0);
    return 0;
}
