// Chat view under a real X server with Qt's software renderer:
//  (a) a 16,000-fragment reply streamed as fast as the GUI thread takes it: GUI-thread time per
//      fragment (store update, bindings, Markdown parse and the layout of the next frame) and the
//      intervals between frames;
//  (b) selecting a stored session of 1,000 messages: time until its first frame is on screen.

#include "SceneRenderer.h"
#include "conversation/AgentState.h"
#include "conversation/ArchiveStore.h"
#include "conversation/ChatSession.h"
#include "conversation/MessageListModel.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>

namespace {

// The engine manager as the view reads it: a model is loaded and running.
class RunningEngine : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isRunning READ yes CONSTANT)
    Q_PROPERTY(bool isStarting READ no CONSTANT)
    Q_PROPERTY(QString statusMessage READ none CONSTANT)
    Q_PROPERTY(QString activeModelName READ name CONSTANT)

public:
    bool yes() const { return true; }
    bool no() const { return false; }
    QString none() const { return {}; }
    QString name() const { return QStringLiteral("Llama 3.2 3B Instruct Q4_K_M"); }
};

// Nothing is sent in these measurements; the view only needs the two operations to exist.
class IdleAgent : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE void sendMessage(const QString &) {}
    Q_INVOKABLE void cancelGeneration() {}
};

double percentile(QList<double> values, double p)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    return values.at(std::min<qsizetype>(values.size() - 1, qsizetype(p * double(values.size()))));
}

QList<Message> storedConversation(int count)
{
    QList<Message> messages;
    for (int i = 0; i < count; ++i) {
        if (i % 2 == 0)
            messages.append(Message::make(Roles::user, QStringLiteral("Question %1: how do I list files?").arg(i)));
        else
            messages.append(Message::make(Roles::assistant,
                QStringLiteral("## Answer %1\n\nUse **ls** in a terminal:\n\n- `ls -l` for details\n- `ls -a` for hidden files\n\n"
                               "```sh\nls -la ~/Downloads\n```\nThat lists everything.").arg(i)));
    }
    return messages;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    // Drawn the way the app draws on this machine.
    SceneRenderer::choose();
    QTemporaryDir dir;
    ArchiveStore archive(dir.filePath(QStringLiteral("chats.json")));
    AgentState state(&archive, nullptr);
    state.clearAllChats();
    MessageListModel messages(&state);
    RunningEngine engine;
    IdleAgent agent;

    QQmlEngine qml;
    qml.addImportPath(QStringLiteral("qrc:/qt/qml"));
    QQmlComponent component(&qml, QUrl(QStringLiteral("qrc:/qt/qml/MorloAI/ChatView.qml")));
    if (component.isError()) {
        std::fprintf(stderr, "%s\n", qPrintable(component.errorString()));
        return 1;
    }
    auto *view = qobject_cast<QQuickItem *>(component.createWithInitialProperties(
        {{QStringLiteral("agentState"), QVariant::fromValue<QObject *>(&state)},
         {QStringLiteral("agentManager"), QVariant::fromValue<QObject *>(&agent)},
         {QStringLiteral("serverManager"), QVariant::fromValue<QObject *>(&engine)},
         {QStringLiteral("messages"), QVariant::fromValue<QObject *>(&messages)}}));
    if (!view) {
        std::fprintf(stderr, "%s\n", qPrintable(component.errorString()));
        return 1;
    }
    QQuickWindow window;
    window.resize(900, 700);
    view->setParentItem(window.contentItem());
    view->setSize(window.size());
    window.show();

    QElapsedTimer clock;
    clock.start();
    QList<double> frameIntervals;
    qint64 lastFrame = -1;
    bool recordFrames = false;
    QObject::connect(&window, &QQuickWindow::frameSwapped, &window, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (recordFrames && lastFrame >= 0)
            frameIntervals.append(double(now - lastFrame) / 1e6);
        lastFrame = now;
    });
    // Layout happens when the window polishes before its next frame: time it as GUI work too.
    QList<double> polishTimes;
    qint64 polishStart = 0;
    QObject::connect(&window, &QQuickWindow::beforeFrameBegin, &window, [&] { polishStart = clock.nsecsElapsed(); }, Qt::DirectConnection);
    QObject::connect(&window, &QQuickWindow::afterFrameEnd, &window, [&] {
        if (recordFrames)
            polishTimes.append(double(clock.nsecsElapsed() - polishStart) / 1e6);
    }, Qt::DirectConnection);

    // Let the window appear and settle.
    for (int i = 0; i < 50; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(2);
    }

    // (a) Streaming: each fragment arrives as its own event, as the network reads hand them on.
    constexpr int fragments = 16000;
    state.appendMessage(Message::make(Roles::user, QStringLiteral("Write a long story.")));
    state.appendMessage(Message::make(Roles::assistant, QString()));
    state.setIsLoading(true);
    QList<double> fragmentTimes;
    fragmentTimes.reserve(fragments);
    recordFrames = true;
    int sent = 0;
    QTimer feeder;
    feeder.setInterval(0);
    QObject::connect(&feeder, &QTimer::timeout, &feeder, [&] {
        const qint64 start = clock.nsecsElapsed();
        state.appendStreamingContent(sent % 40 == 39 ? QStringLiteral("tok\n\n") : QStringLiteral("tok "));
        state.replaceLastMessageContent(state.currentStreamingContent());
        fragmentTimes.append(double(clock.nsecsElapsed() - start) / 1e6);
        if (++sent == fragments)
            feeder.stop();
    });
    const qint64 streamStart = clock.nsecsElapsed();
    feeder.start();
    while (feeder.isActive())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    const double streamSeconds = double(clock.nsecsElapsed() - streamStart) / 1e9;
    state.setIsLoading(false);
    recordFrames = false;

    std::printf("streaming %d fragments: %.1f s total, %lld frames\n", fragments, streamSeconds,
                static_cast<long long>(frameIntervals.size()));
    std::printf("  GUI time per fragment (update + bindings): p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
                percentile(fragmentTimes, 0.5), percentile(fragmentTimes, 0.99), percentile(fragmentTimes, 1.0));
    std::printf("  frame work (polish/layout + render): p50 %.2f ms, p99 %.2f ms\n",
                percentile(polishTimes, 0.5), percentile(polishTimes, 0.99));
    std::printf("  frame interval: p50 %.1f ms, p95 %.1f ms, max %.1f ms\n", percentile(frameIntervals, 0.5),
                percentile(frameIntervals, 0.95), percentile(frameIntervals, 1.0));

    // (b) A stored conversation of 1,000 messages, selected from another session.
    ChatSession stored = ChatSession::make();
    stored.title = QStringLiteral("Long conversation");
    stored.messages = storedConversation(1000);
    ChatSession current = ChatSession::make();
    state.replaceSessions({current, stored});
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(2);
    }
    bool shown = false;
    qint64 selectStart = 0;
    double firstFrameMs = 0;
    auto connection = QObject::connect(&window, &QQuickWindow::frameSwapped, &window, [&] {
        if (!shown && selectStart > 0) {
            firstFrameMs = double(clock.nsecsElapsed() - selectStart) / 1e6;
            shown = true;
        }
    });
    selectStart = clock.nsecsElapsed();
    state.selectSession(stored.id);
    window.requestUpdate();
    while (!shown)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    QObject::disconnect(connection);
    std::printf("selecting a session of 1000 messages: first frame after %.1f ms\n", firstFrameMs);

    delete view;
    return 0;
}

#include "bench_chat_view.moc"
