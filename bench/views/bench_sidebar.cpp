// The main window with 1,000 stored conversations of 50 messages each:
//  (a) sidebar search per keystroke (filter over titles and every message), worst and mean;
//  (b) start-up: reading the archive, building the shared objects and loading the window, until
//      its first frame is drawn (in process, after the Qt libraries are loaded);
//  (c) resident memory once the window has settled, no engine running.

#include "AppModel.h"
#include "SessionFilterModel.h"
#include "conversation/ArchiveStore.h"
#include "conversation/DefaultsStore.h"
#include "platform/AppPaths.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdio>

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

long residentKB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
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

    // (a) typing into the sidebar's search, one keystroke at a time: the filter, the list's
    // row changes and the layout pass that follows.
    QObject *content = window->findChild<QObject *>(QStringLiteral("contentView"));
    if (!content)
        return 1;
    const auto search = [&](const QString &text) {
        content->setProperty("searchQuery", text);
        QCoreApplication::processEvents();
    };
    const QString typed = QStringLiteral("weather in town 49999");
    QList<double> perKey;
    for (int round = 0; round < 3; ++round) {
        for (int n = 1; n <= typed.size(); ++n) {
            QElapsedTimer key;
            key.start();
            search(typed.left(n));
            perKey.append(key.nsecsElapsed() / 1e6);
        }
        search(QString());
    }
    const double worst = *std::max_element(perKey.begin(), perKey.end());
    double sum = 0;
    for (double ms : perKey)
        sum += ms;

    // The same keystrokes through the filter alone, without the list's delegates.
    SessionFilterModel filter;
    filter.setAgentStateObject(app.agentState());
    filter.setSessions(app.sessions());
    double filterWorst = 0;
    double filterSum = 0;
    for (int n = 1; n <= typed.size(); ++n) {
        QElapsedTimer key;
        key.start();
        filter.setSearchQuery(typed.left(n));
        const double ms = key.nsecsElapsed() / 1e6;
        filterWorst = std::max(filterWorst, ms);
        filterSum += ms;
    }

    // (c) memory once idle.
    QTest::qWait(1500);
    std::printf("sidebar search per keystroke (1,000 x 50): worst %.2f ms, mean %.2f ms over %lld keys\n",
                worst, sum / perKey.size(), static_cast<long long>(perKey.size()));
    std::printf("  of which the filter alone: worst %.2f ms, mean %.2f ms\n", filterWorst,
                filterSum / typed.size());
    std::printf("start-up to first drawn window (in process): %lld ms\n", static_cast<long long>(startupMs));
    std::printf("idle resident memory, no engine: %.1f MB\n", residentKB() / 1024.0);
    return 0;
}
