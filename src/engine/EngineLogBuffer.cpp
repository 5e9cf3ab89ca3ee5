#include "engine/EngineLogBuffer.h"

EngineLogBuffer::EngineLogBuffer(qsizetype capacity)
    : m_capacity(capacity)
{
}

void EngineLogBuffer::append(const QByteArray &bytes)
{
    m_bytes.append(bytes);
    // Trim only once twice the capacity is held, so a steady stream costs amortised constant
    // time per byte instead of a move of the whole buffer on every write.
    if (m_bytes.size() > 2 * m_capacity)
        m_bytes.remove(0, m_bytes.size() - m_capacity);
}

void EngineLogBuffer::clear()
{
    m_bytes.clear();
}

QByteArray EngineLogBuffer::bytes() const
{
    qsizetype start = qMax<qsizetype>(0, m_bytes.size() - m_capacity);
    // A cut inside a multi-byte character would make the whole text invalid UTF-8.
    if (start > 0) {
        for (int skipped = 0; skipped < 3 && start < m_bytes.size()
             && (static_cast<unsigned char>(m_bytes.at(start)) & 0xC0) == 0x80; ++skipped)
            ++start;
    }
    return m_bytes.mid(start);
}
