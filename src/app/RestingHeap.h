#pragma once

#include <QObject>
#include <QTimer>

// Gives the memory the allocator keeps after a burst of work back to the system once the user
// pauses: start-up, a search typed through thousands of messages or a long scroll leave freed
// blocks that the allocator would otherwise hold for the whole run. One trim (a few
// milliseconds) happens a moment after the last key, click or scroll, never while input flows.
class RestingHeap : public QObject
{
    Q_OBJECT

public:
    explicit RestingHeap(QObject *parent = nullptr);

    static constexpr int quietMs = 1000;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QTimer m_quiet;
};
