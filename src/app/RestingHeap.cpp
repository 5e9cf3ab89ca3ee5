#include "RestingHeap.h"

#include <QCoreApplication>
#include <QEvent>

#ifdef __GLIBC__
#include <malloc.h>
#endif

RestingHeap::RestingHeap(QObject *parent)
    : QObject(parent)
{
#ifdef __GLIBC__
    m_quiet.setSingleShot(true);
    m_quiet.setInterval(quietMs);
    connect(&m_quiet, &QTimer::timeout, this, [] { malloc_trim(0); });
    QCoreApplication::instance()->installEventFilter(this);
    m_quiet.start(); // start-up is the first burst
#endif
}

bool RestingHeap::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyRelease:
    case QEvent::MouseButtonRelease:
    case QEvent::Wheel:
    case QEvent::TouchEnd:
        m_quiet.start();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
