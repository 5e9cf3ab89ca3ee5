#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

// Splits a byte stream into text lines as the bytes arrive. Lines end in LF with an optional CR
// before it (both removed). Each byte is scanned once, so a line of many megabytes arriving in
// small pieces costs no more than the same bytes arriving at once.
class SseLineReader
{
public:
    // The lines completed by these bytes, in order.
    QList<QByteArray> append(QByteArrayView bytes);
    // The last line when the stream ends without a line break after it; empty otherwise.
    QByteArray finish();

private:
    QByteArray m_pending; // the start of a line whose end has not arrived yet
    qsizetype m_scanned = 0; // bytes of m_pending already known to hold no line feed
};
