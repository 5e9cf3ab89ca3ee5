#include "SseLineReader.h"

QList<QByteArray> SseLineReader::append(QByteArrayView bytes)
{
    QList<QByteArray> lines;
    m_pending.append(bytes);
    qsizetype start = 0;
    qsizetype from = m_scanned;
    for (;;) {
        const qsizetype feed = m_pending.indexOf('\n', from);
        if (feed < 0)
            break;
        qsizetype end = feed;
        if (end > start && m_pending.at(end - 1) == '\r')
            --end;
        lines.append(m_pending.sliced(start, end - start));
        start = feed + 1;
        from = start;
    }
    // Only bytes of this call follow the last line feed, so dropping the finished lines stays
    // proportional to what just arrived.
    if (start > 0)
        m_pending.remove(0, start);
    m_scanned = m_pending.size();
    return lines;
}

QByteArray SseLineReader::finish()
{
    QByteArray rest = std::exchange(m_pending, {});
    m_scanned = 0;
    if (rest.endsWith('\r'))
        rest.chop(1);
    return rest;
}
