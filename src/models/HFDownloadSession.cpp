#include "models/HFDownloadSession.h"

#include "models/DownloadTransfer.h"

HFDownloadSession::HFDownloadSession(QString destURL, ProgressHandler onProgress,
                                     CompletionHandler onComplete, DownloadTiming timing,
                                     QObject *parent)
    : QObject(parent)
    , destURL(std::move(destURL))
    , onProgress(std::move(onProgress))
    , onComplete(std::move(onComplete))
    , m_timing(timing)
{
    m_thread.setObjectName(QStringLiteral("download"));
}

HFDownloadSession::~HFDownloadSession()
{
    // The transfer is deleted on its own thread as that thread ends, and the wait is short: a
    // transfer stops at its next piece.
    if (m_transfer)
        m_transfer->deleteLater();
    m_thread.quit();
    m_thread.wait();
}

QString HFDownloadSession::partPath(const QString &destination)
{
    return destination + QStringLiteral(".part");
}

QString HFDownloadSession::damagedDescription()
{
    return QStringLiteral("The downloaded file is damaged");
}

void HFDownloadSession::start(const QUrl &url)
{
    m_transfer = new DownloadTransfer(destURL, m_checks, m_timing);
    m_transfer->moveToThread(&m_thread);
    // Queued across the threads: the handlers always run here, from the event loop, never
    // inside a call of the owner's (it may cancel and forget a session from anywhere).
    connect(m_transfer, &DownloadTransfer::progressed, this, [this](qint64 written, qint64 expected) {
        onProgress(static_cast<double>(written) / static_cast<double>(expected), written, expected);
    });
    connect(m_transfer, &DownloadTransfer::resumed, this, &HFDownloadSession::resumed);
    connect(m_transfer, &DownloadTransfer::ended, this, &HFDownloadSession::didEnd);
    m_thread.start();
    QMetaObject::invokeMethod(m_transfer, [transfer = m_transfer, url] { transfer->start(url); });
}

void HFDownloadSession::cancel()
{
    if (m_transfer)
        QMetaObject::invokeMethod(m_transfer, &DownloadTransfer::cancel);
}

void HFDownloadSession::didEnd(bool succeeded, const QString &failure, int status)
{
    m_status = status;
    onComplete(succeeded ? std::nullopt : std::optional<QString>(failure));
    deleteLater();
}
