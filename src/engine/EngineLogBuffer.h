#pragma once

#include <QByteArray>

// The tail of what the engine wrote. The engine logs a lot while it loads and blocks once a pipe
// is full, so its output is read as it arrives; only the last bytes are kept, because the end of
// the log is what explains a failure.
class EngineLogBuffer
{
public:
    static constexpr qsizetype defaultCapacity = 64 * 1024;

    explicit EngineLogBuffer(qsizetype capacity = defaultCapacity);

    void append(const QByteArray &bytes);
    void clear();
    // At most `capacity` bytes, starting at a character boundary.
    QByteArray bytes() const;

private:
    qsizetype m_capacity;
    QByteArray m_bytes;
};
