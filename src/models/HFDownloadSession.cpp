#include "models/HFDownloadSession.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
// The reply keeps at most this much unread; beyond it Qt stops reading the socket, so a slow disk
// slows the transfer down instead of piling the file up in memory.
constexpr qint64 readBufferBytes = 1024 * 1024;

const QString timedOutDescription = QStringLiteral("The request timed out.");
const QString connectionLostDescription = QStringLiteral("The network connection was lost.");

// The server's status is not examined: whatever body it sends is the file. Qt reports some
// statuses as errors; those are not failures of the transfer.
bool isStatusError(QNetworkReply::NetworkError error)
{
    return (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError)
        || error == QNetworkReply::ProtocolInvalidOperationError
        || (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError);
}
} // namespace

HFDownloadSession::HFDownloadSession(QString destURL, ProgressHandler onProgress,
                                     CompletionHandler onComplete, DownloadTiming timing,
                                     QObject *parent)
    : QObject(parent)
    , destURL(std::move(destURL))
    , onProgress(std::move(onProgress))
    , onComplete(std::move(onComplete))
    , m_timing(timing)
{
    m_requestTimer.setSingleShot(true);
    m_resourceTimer.setSingleShot(true);
    connect(&m_requestTimer, &QTimer::timeout, this, [this] { fail(timedOutDescription); });
    connect(&m_resourceTimer, &QTimer::timeout, this, [this] { fail(timedOutDescription); });
}

HFDownloadSession::~HFDownloadSession()
{
    // A transfer still running when its owner goes (the app quits) ends without calling back
    // into a half-destroyed session; the temporary file goes with it.
    if (m_task)
        m_task->disconnect(this);
}

QNetworkAccessManager *HFDownloadSession::session()
{
    if (!m_session)
        m_session = new QNetworkAccessManager(this);
    return m_session;
}

void HFDownloadSession::start(const QUrl &url)
{
    // Beside the destination, so the final move is a rename within one file system.
    m_file = std::make_unique<QTemporaryFile>(destURL + QStringLiteral(".XXXXXX.part"));
    if (!m_file->open()) {
        report(m_file->errorString());
        return;
    }

    QNetworkRequest request(url);
    request.setTransferTimeout(0);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QStringLiteral("Morlo AI/1.0 (macOS; like Safari)"));
    request.setRawHeader("Accept", "*/*");

    m_task = session()->get(request);
    m_task->setReadBufferSize(readBufferBytes);
    connect(m_task, &QNetworkReply::metaDataChanged, this, [this] {
        m_bytesExpected = m_task->header(QNetworkRequest::ContentLengthHeader).isValid()
            ? m_task->header(QNetworkRequest::ContentLengthHeader).toLongLong()
            : -1;
    });
    connect(m_task, &QNetworkReply::readyRead, this, &HFDownloadSession::didWriteData);
    connect(m_task, &QNetworkReply::finished, this, [this] {
        m_requestTimer.stop();
        m_resourceTimer.stop();
        const QNetworkReply::NetworkError error = m_task->error();
        if (m_failure)
            didCompleteWithError(*m_failure);
        else if (error != QNetworkReply::NoError && !isStatusError(error))
            didCompleteWithError(m_task->errorString());
        else
            didFinishDownloading();
        m_task->deleteLater();
    });
    m_requestTimer.start(m_timing.requestTimeout);
    m_resourceTimer.start(m_timing.resourceTimeout);
}

void HFDownloadSession::cancel()
{
    if (m_task && m_task->isRunning())
        m_task->abort();
}

void HFDownloadSession::didWriteData()
{
    if (!m_file)
        return;
    m_requestTimer.start(m_timing.requestTimeout);
    const QByteArray data = m_task->readAll();
    if (m_file->write(data) != data.size()) {
        fail(m_file->errorString());
        return;
    }
    m_bytesWritten += data.size();
    // Without an announced length there is nothing to show a fraction of until the end.
    if (m_bytesExpected < 1)
        return;
    onProgress(static_cast<double>(m_bytesWritten) / static_cast<double>(m_bytesExpected),
               m_bytesWritten, m_bytesExpected);
}

void HFDownloadSession::didFinishDownloading()
{
    // Data can still be waiting when the reply finishes.
    if (m_task->bytesAvailable() > 0)
        didWriteData();
    if (m_failure) {
        didCompleteWithError(*m_failure);
        return;
    }
    // A server that closes before the length it announced has sent a truncated file.
    if (m_bytesExpected >= 0 && m_bytesWritten < m_bytesExpected) {
        didCompleteWithError(connectionLostDescription);
        return;
    }
    // One rename replaces any earlier copy, so the destination is never missing or half written.
    // No sync to disk first: flushing a model's worth of pages would stall the window for
    // seconds, and the system writes them out soon enough.
    const QString temporaryPath = m_file->fileName();
    m_file->close();
    if (std::rename(QFile::encodeName(temporaryPath).constData(),
                    QFile::encodeName(destURL).constData()) != 0) {
        didCompleteWithError(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    m_file->setAutoRemove(false);
    m_file.reset();
    report(std::nullopt);
}

void HFDownloadSession::didCompleteWithError(const QString &description)
{
    m_file.reset();  // removes the temporary file
    report(description);
}

void HFDownloadSession::fail(const QString &description)
{
    if (!m_failure)
        m_failure = description;
    if (m_task && m_task->isRunning())
        m_task->abort();
}

void HFDownloadSession::report(const std::optional<QString> &outcome)
{
    if (m_reported)
        return;
    m_reported = true;
    // Reported from the event loop, never from inside the call that stopped the transfer, so
    // the owner can cancel and forget a session without it calling back into the middle of that.
    QMetaObject::invokeMethod(
        this,
        [this, outcome] {
            onComplete(outcome);
            deleteLater();
        },
        Qt::QueuedConnection);
}
