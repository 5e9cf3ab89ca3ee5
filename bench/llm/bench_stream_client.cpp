// How fast the completions client turns a streamed answer into fragments, and what each fragment
// costs the GUI thread. The fake engine sends identical fragments as fast as it can. Each size is
// run twice: as our own engine is asked, and as a server elsewhere is (its own port, an API key
// as a bearer token, a named model), which must cost the same per fragment.
#include "FakeEngineProcess.h"
#include "llm/LLMClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

qint64 threadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Resident-set figures from /proc in kilobytes: current and peak since the last reset.
qint64 statusKb(const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

void resetPeakRss()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

struct Figures
{
    double fragmentsPerSecond = 0;
    double meanNs = 0;
    double p99Ns = 0;
    qint64 peakGrowthKb = 0; // peak resident set over the one before the request
    qint64 lateGrowthKb = 0; // peak over the resident set once a tenth of the answer was in
    qsizetype fragments = 0;
};

Figures measure(int count, bool remote)
{
    FakeEngineProcess engine;
    if (!engine.start(QJsonArray{QJsonObject{{"repeat", count}, {"chunk", "tok "}}}))
        qFatal("the fake engine did not start");
    LLMClient client;
    if (remote) {
        client.setEndpoint(engine.baseUrl(), QStringLiteral("sk-bench-0123456789abcdef"));
        client.setModel(QStringLiteral("llama-3.1-70b-instruct"));
    } else {
        client.setEndpoint(engine.baseUrl(), QString());
    }

    std::vector<qint64> costs;
    costs.reserve(size_t(count));
    resetPeakRss();
    const qint64 rssBefore = statusKb("VmRSS");
    qint64 rssAtTenth = 0;
    QElapsedTimer wall;
    wall.start();
    qint64 lastCpu = threadCpuNs();
    const LLMResult result = QCoro::waitFor(client.streamChat(
        {Message::make(Roles::user, "Go")}, QString(), 0.7, count, {}, [&](const QString &) {
            // GUI-thread CPU time since the previous fragment: reading, line splitting, decoding
            // and the hand-off, but none of the time spent waiting for the network.
            const qint64 now = threadCpuNs();
            costs.push_back(now - lastCpu);
            lastCpu = now;
            if (costs.size() == size_t(count / 10))
                rssAtTenth = statusKb("VmRSS");
        }));
    const qint64 elapsedNs = wall.nsecsElapsed();
    if (!std::holds_alternative<LLMReply>(result))
        qFatal("the stream failed: %s", qPrintable(std::get<LLMError>(result).description));

    Figures figures;
    figures.fragments = qsizetype(costs.size());
    figures.fragmentsPerSecond = double(costs.size()) * 1e9 / double(elapsedNs);
    qint64 total = 0;
    for (qint64 cost : costs)
        total += cost;
    figures.meanNs = double(total) / double(costs.size());
    std::sort(costs.begin(), costs.end());
    figures.p99Ns = double(costs[size_t(double(costs.size() - 1) * 0.99)]);
    figures.peakGrowthKb = statusKb("VmHWM") - rssBefore;
    figures.lateGrowthKb = statusKb("VmHWM") - rssAtTenth;
    return figures;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("MORLO_FAKES_DIR"))
        qputenv("MORLO_FAKES_DIR", MORLO_FAKES_BUILD_DIR);

    measure(1000, false); // warm-up: first connection, first allocations
    std::printf("%-7s %-10s %14s %16s %15s %14s %22s\n", "run", "fragments", "fragments/s", "mean ns/fragment",
                "p99 ns/fragment", "peak RSS +KiB", "after first tenth +KiB");
    for (int count : {1000, 16000, 64000}) {
        for (bool remote : {false, true}) {
            const Figures figures = measure(count, remote);
            if (figures.fragments != count)
                qFatal("expected %d fragments, got %lld", count, qlonglong(figures.fragments));
            std::printf("%-7s %-10d %14.0f %16.0f %15.0f %14lld %22lld\n", remote ? "remote" : "local", count,
                        figures.fragmentsPerSecond, figures.meanNs, figures.p99Ns, qlonglong(figures.peakGrowthKb),
                        qlonglong(figures.lateGrowthKb));
        }
    }
    return 0;
}
