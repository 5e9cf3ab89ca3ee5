#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP (logout, `kill`, a system shutdown, Ctrl+C) into the app's
// normal quit, so pending saves are written and the engine is stopped before the process ends.
// The handler only writes a byte to a pipe; the quit itself runs in the event loop.
class QuitSignals : public QObject
{
    Q_OBJECT
public:
    explicit QuitSignals(QObject *parent = nullptr);
    ~QuitSignals() override;

private:
    void quit();

    QSocketNotifier *m_notifier = nullptr;
};
