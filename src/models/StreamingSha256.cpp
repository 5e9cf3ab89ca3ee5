#include "models/StreamingSha256.h"

#include <QFile>

#include <memory>
#include <openssl/evp.h>

namespace {
// The kept part is read in pieces this size, so a stop waits for one piece at most.
constexpr qint64 keptPieceBytes = 1024 * 1024;

// libcrypto's SHA-256 uses the processor's hashing instructions: several times the speed of
// QCryptographicHash, which would otherwise hold the download back to its own pace.
using Digest = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
} // namespace

StreamingSha256::StreamingSha256(const QString &keptPath, qint64 keptBytes)
    : m_worker([this, keptPath, keptBytes](std::stop_token stop) { run(stop, keptPath, keptBytes); })
{
}

StreamingSha256::~StreamingSha256() = default;

bool StreamingSha256::add(QByteArray piece)
{
    bool full = false;
    {
        std::lock_guard lock(m_mutex);
        m_backlog += piece.size();
        m_pieces.push_back(std::move(piece));
        full = m_full = m_backlog >= backlogLimit;
    }
    m_arrived.notify_one();
    return !full;
}

void StreamingSha256::finish()
{
    {
        std::lock_guard lock(m_mutex);
        m_finishing = true;
    }
    m_arrived.notify_one();
}

void StreamingSha256::run(std::stop_token stop, QString keptPath, qint64 keptBytes)
{
    Digest digest(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr);

    bool keptPartRead = true;
    if (keptBytes > 0) {
        QFile file(keptPath);
        keptPartRead = file.open(QIODevice::ReadOnly);
        // Only the kept bytes: the transfer is appending the rest behind them meanwhile.
        for (qint64 left = keptBytes; keptPartRead && left > 0 && !stop.stop_requested();) {
            const QByteArray piece = file.read(std::min(left, keptPieceBytes));
            keptPartRead = !piece.isEmpty();
            EVP_DigestUpdate(digest.get(), piece.constData(), piece.size());
            left -= piece.size();
        }
    }

    for (;;) {
        QByteArray piece;
        bool wasFull = false;
        {
            std::unique_lock lock(m_mutex);
            if (!m_arrived.wait(lock, stop, [this] { return !m_pieces.empty() || m_finishing; }))
                return;
            if (m_pieces.empty())
                break;
            piece = std::move(m_pieces.front());
            m_pieces.pop_front();
            m_backlog -= piece.size();
            wasFull = m_full && m_backlog <= backlogLimit / 2;
            if (wasFull)
                m_full = false;
        }
        EVP_DigestUpdate(digest.get(), piece.constData(), piece.size());
        if (wasFull)
            emit drained();
    }

    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(digest.get(), bytes, &length);
    emit finished(keptPartRead ? QByteArray(reinterpret_cast<const char *>(bytes), length).toHex() : QByteArray());
}
