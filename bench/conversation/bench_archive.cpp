// Saving and loading a large archive: 1,000 conversations of 50 messages (about 25 MB).
// Prints how long a cold start takes to load it (three starts in a row), how long save() holds
// the GUI thread, and how long until the file is on disk.
#include "conversation/AgentState.h"
#include "conversation/ArchiveStore.h"
#include "platform/AppPaths.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

QString paragraph(int seed)
{
    static const QStringList words = {
        QStringLiteral("model"), QStringLiteral("engine"), QStringLiteral("context"), QStringLiteral("token"),
        QStringLiteral("vector"), QStringLiteral("answer"), QStringLiteral("private"), QStringLiteral("local"),
        QStringLiteral("memory"), QStringLiteral("quantization"), QStringLiteral("prompt"), QStringLiteral("reply")};
    QString text;
    for (int i = 0; text.size() < 480; ++i)
        text += words[(seed * 7 + i * 13) % words.size()] + QLatin1Char(i % 11 == 10 ? '\n' : ' ');
    return text;
}

QList<ChatSession> makeArchive()
{
    QList<ChatSession> sessions;
    for (int s = 0; s < 1000; ++s) {
        ChatSession session = ChatSession::make();
        session.title = QStringLiteral("Conversation %1").arg(s);
        for (int m = 0; m < 50; ++m)
            session.messages.append(Message::make(m % 2 ? Roles::assistant : Roles::user, paragraph(s + m)));
        sessions.append(session);
    }
    return sessions;
}

double ms(qint64 ns) { return double(ns) / 1e6; }

double cpuMs(clockid_t clock = CLOCK_PROCESS_CPUTIME_ID)
{
    timespec now{};
    clock_gettime(clock, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());

    {
        ArchiveStore store(AppPaths::chatArchivePath());
        store.save(makeArchive());
    }
    std::printf("archive size: %.1f MB\n", QFileInfo(AppPaths::chatArchivePath()).size() / 1e6);

    // Three starts in a row, each reading the whole archive; the processor time (both cores
    // together) shows the work apart from what else the machine is doing.
    QElapsedTimer timer;
    for (int run = 1; run <= 3; ++run) {
        const double cpuBefore = cpuMs();
        timer.start();
        AgentState start;
        const qint64 loadNs = timer.nsecsElapsed();
        std::printf("cold load %d of %lld sessions: %.1f ms (goal < 400 ms), processor time %.1f ms\n", run,
                    qlonglong(start.sessionCount()), ms(loadNs), cpuMs() - cpuBefore);
    }
    AgentState state;

    std::vector<double> holds;
    std::vector<double> holdsCpu; // the GUI thread's own processor time: apart from preemption
    std::vector<double> onDisk;
    for (int i = 0; i < 10; ++i) {
        state.appendMessage(Message::make(Roles::user, paragraph(i)));
        const double threadBefore = cpuMs(CLOCK_THREAD_CPUTIME_ID);
        timer.restart();
        state.syncActiveSession(); // mirrors the conversation and saves
        holds.push_back(ms(timer.nsecsElapsed()));
        holdsCpu.push_back(cpuMs(CLOCK_THREAD_CPUTIME_ID) - threadBefore);
        state.flush();
        onDisk.push_back(ms(timer.nsecsElapsed()));
    }
    std::sort(holds.begin(), holds.end());
    std::sort(onDisk.begin(), onDisk.end());
    std::sort(holdsCpu.begin(), holdsCpu.end());
    std::printf("save() on the GUI thread: median %.3f ms, max %.3f ms (goal < 5 ms); its processor time max %.3f ms\n",
                holds[holds.size() / 2], holds.back(), holdsCpu.back());
    std::printf("save() until the file is on disk: median %.1f ms, max %.1f ms\n", onDisk[onDisk.size() / 2], onDisk.back());
    return 0;
}
