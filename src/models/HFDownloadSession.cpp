#include "models/HFDownloadSession.h"

#include "models/DownloadTexts.h"
#include "models/StreamingSha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QStorageInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
// The reply keeps at most this much unread; beyond it Qt stops reading the socket, so a slow disk
// slows the transfer down instead of piling the file up in memory.
constexpr qint64 readBufferBytes = 1024 * 1024;
// An error answer's body is a short message; anything longer is not read further.
constexpr qsizetype errorBodyLimit = 64 * 1024;
constexpr int maximumRedirects = 10;

const QString timedOutDescription = QStringLiteral("The request timed out.");
const QString connectionLostDescription = QStringLiteral("The network connection was lost.");
const QString damagedDescription = QStringLiteral("The downloaded file is damaged");

int statusOf(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

// The hub answers errors with {"error": "…"}; other servers with text or an HTML page.
QString serverMessage(const QByteArray &body, const QString &reason)
{
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    QString message = object.value(QStringLiteral("error")).toString();
    if (message.isEmpty() && !body.trimmed().startsWith('<'))
        message = QString::fromUtf8(body).trimmed().section(QLatin1Char('\n'), 0, 0);
    if (message.isEmpty())
        message = reason;
    return message.left(300);
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
    // into a half-destroyed session; what arrived stays in the part file for next time.
    if (m_task)
        m_task->disconnect(this);
}

QString HFDownloadSession::partPath(const QString &destination)
{
    return destination + QStringLiteral(".part");
}

QNetworkAccessManager *HFDownloadSession::session()
{
    if (!m_session)
        m_session = new QNetworkAccessManager(this);
    return m_session;
}

void HFDownloadSession::start(const QUrl &url)
{
    m_firstURL = url;
    m_resourceTimer.start(m_timing.resourceTimeout);
    m_keptBytes = QFileInfo(partPath(destURL)).size();
    if (!m_checks.sha256.isEmpty())
        startHash(m_keptBytes);
    request(url);
}

// Every byte of the file passes through the hash once: the kept part first, then each new piece
// as it arrives. A kept part that cannot be read gives no digest, so the file counts as damaged
// and the next download starts over.
void HFDownloadSession::startHash(qint64 keptBytes)
{
    m_hash = std::make_unique<StreamingSha256>(partPath(destURL), keptBytes);
    m_heldBack = false;
    connect(m_hash.get(), &StreamingSha256::drained, this, [this] {
        m_heldBack = false;
        didWriteData();
    }, Qt::QueuedConnection);
    connect(m_hash.get(), &StreamingSha256::finished, this, &HFDownloadSession::didHashFile,
            Qt::QueuedConnection);
}

void HFDownloadSession::request(const QUrl &url)
{
    m_file = std::make_unique<QFile>(partPath(destURL));
    const QIODevice::OpenMode mode = m_keptBytes > 0 ? QIODevice::Append : QIODevice::WriteOnly | QIODevice::Truncate;
    if (!m_file->open(mode)) {
        m_failure = m_file->errorString();
        report(*m_failure);
        return;
    }
    m_bytesWritten = m_keptBytes;
    m_bodyIsFile = false;
    m_errorBody.clear();

    QNetworkRequest get(url);
    get.setTransferTimeout(0);
    // Redirects are followed here, so a token never travels on to another host.
    get.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    get.setHeader(QNetworkRequest::UserAgentHeader,
                      QStringLiteral("Morlo AI/1.0 (macOS; like Safari)"));
    get.setRawHeader("Accept", "*/*");
    if (m_keptBytes > 0)
        get.setRawHeader("Range", "bytes=" + QByteArray::number(m_keptBytes) + '-');
    if (!m_checks.bearerToken.isEmpty() && url.host() == m_firstURL.host()
        && url.port() == m_firstURL.port() && url.scheme() == m_firstURL.scheme())
        get.setRawHeader("Authorization", "Bearer " + m_checks.bearerToken.toUtf8());

    m_task = session()->get(get);
    m_task->setReadBufferSize(readBufferBytes);
    connect(m_task, &QNetworkReply::metaDataChanged, this, &HFDownloadSession::didReceiveResponse);
    connect(m_task, &QNetworkReply::readyRead, this, [this] {
        if (!m_heldBack)
            didWriteData();
    });
    connect(m_task, &QNetworkReply::finished, this, [this, reply = m_task.data()] {
        reply->deleteLater();
        const int status = statusOf(reply);
        m_status = status;
        const QUrl location = reply->header(QNetworkRequest::LocationHeader).toUrl();
        if (!m_failure && status >= 300 && status < 400 && location.isValid()) {
            if (++m_redirects > maximumRedirects) {
                didCompleteWithError(QStringLiteral("Too many redirects"), true);
                return;
            }
            request(reply->url().resolved(location));
            return;
        }
        m_requestTimer.stop();
        m_resourceTimer.stop();
        if (m_failure) {
            didCompleteWithError(*m_failure, m_keepPart);
        } else if (!m_bodyIsFile && status != 0) {
            m_errorBody += reply->read(errorBodyLimit);
            const QString reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
            didCompleteWithError(QStringLiteral("%1 — %2").arg(status).arg(serverMessage(m_errorBody, reason)), true);
        } else if (reply->error() != QNetworkReply::NoError) {
            // What arrived before the cut is kept, so the next try asks for less.
            if (m_bodyIsFile && reply->bytesAvailable() > 0)
                didWriteData();
            didCompleteWithError(m_failure.value_or(reply->errorString()), m_keepPart);
        } else {
            didFinishDownloading();
        }
    });
    m_requestTimer.start(m_timing.requestTimeout);
}

void HFDownloadSession::didReceiveResponse()
{
    const int status = statusOf(m_task);
    if (status == 0 || m_bodyIsFile)
        return;
    const QVariant length = m_task->header(QNetworkRequest::ContentLengthHeader);
    if (status == 206 && m_keptBytes > 0) {
        // "bytes <first>-<last>/<total>": only a continuation of exactly the kept part is usable.
        static const QRegularExpression rangePattern(QStringLiteral("^bytes (\\d+)-\\d+/(\\d+|\\*)"));
        const QRegularExpressionMatch match
            = rangePattern.match(QString::fromLatin1(m_task->rawHeader("Content-Range")));
        if (!match.hasMatch() || match.captured(1).toLongLong() != m_keptBytes) {
            fail(QStringLiteral("The server sent another part of the file than asked for"), false);
            return;
        }
        m_bodyIsFile = true;
        m_bytesExpected = match.captured(2) == QLatin1String("*")
            ? (length.isValid() ? m_keptBytes + length.toLongLong() : -1)
            : match.captured(2).toLongLong();
        emit resumed(m_keptBytes);
    } else if (status >= 200 && status < 300) {
        // The server sends the whole file (it ignores ranges): start the part over.
        if (m_keptBytes > 0) {
            // A fresh hash, and the old one stopped before the part is emptied under it.
            if (m_hash)
                startHash(0);
            m_file->resize(0);
            m_keptBytes = 0;
            m_bytesWritten = 0;
        }
        m_bodyIsFile = true;
        m_bytesExpected = length.isValid() ? length.toLongLong() : -1;
    } else {
        return;
    }
    const qint64 remaining = m_bytesExpected - m_bytesWritten;
    const qint64 available = QStorageInfo(QFileInfo(destURL).absolutePath()).bytesAvailable();
    if (m_bytesExpected > 0 && available >= 0 && remaining > available)
        fail(QStringLiteral("Not enough disk space: needs %1, %2 free")
                 .arg(DownloadTexts::sizeText(remaining), DownloadTexts::sizeText(available)));
}

void HFDownloadSession::didWriteData()
{
    if (!m_task || !m_file)
        return;
    m_requestTimer.start(m_timing.requestTimeout);
    if (!m_bodyIsFile) {
        // A redirect's body is dropped; an error's is the message to show.
        if (m_errorBody.size() < errorBodyLimit)
            m_errorBody += m_task->read(errorBodyLimit - m_errorBody.size());
        m_task->readAll();
        return;
    }
    const QByteArray data = m_task->readAll();
    if (data.isEmpty() || m_failure)
        return;
    if (m_file->write(data) != data.size()) {
        fail(m_file->errorString());
        return;
    }
    if (m_hash && !m_hash->add(data))
        m_heldBack = true;
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
    if (m_task && m_task->bytesAvailable() > 0)
        didWriteData();
    if (m_failure) {
        didCompleteWithError(*m_failure, m_keepPart);
        return;
    }
    // A server that closes before the length it announced has sent a truncated file; the part
    // stays for the next attempt.
    if (m_bytesExpected >= 0 && m_bytesWritten < m_bytesExpected) {
        didCompleteWithError(connectionLostDescription, true);
        return;
    }
    m_file->close();
    if (const std::optional<QString> wrong = checkFinishedFile()) {
        didCompleteWithError(*wrong, false);
        return;
    }
    if (m_hash)
        m_hash->finish();
    else
        placeFile();
}

void HFDownloadSession::didHashFile(const QByteArray &digest)
{
    if (m_reported)
        return;
    if (digest != m_checks.sha256.toLower()) {
        didCompleteWithError(damagedDescription, false);
        return;
    }
    placeFile();
}

void HFDownloadSession::placeFile()
{
    // One rename replaces any earlier copy, so the destination is never missing or half written.
    // No sync to disk first: flushing a model's worth of pages would stall the window for
    // seconds, and the system writes them out soon enough.
    if (std::rename(QFile::encodeName(m_file->fileName()).constData(),
                    QFile::encodeName(destURL).constData()) != 0) {
        didCompleteWithError(QString::fromLocal8Bit(std::strerror(errno)), true);
        return;
    }
    m_file.reset();
    report(std::nullopt);
}

std::optional<QString> HFDownloadSession::checkFinishedFile()
{
    if (m_bytesExpected >= 0 && m_bytesWritten != m_bytesExpected)
        return QStringLiteral("The file has %1 bytes instead of %2").arg(m_bytesWritten).arg(m_bytesExpected);
    if (!m_checks.magic.isEmpty()) {
        QFile file(m_file->fileName());
        if (!file.open(QIODevice::ReadOnly) || file.read(m_checks.magic.size()) != m_checks.magic)
            return QStringLiteral("The downloaded file is not a GGUF model");
    }
    return std::nullopt;
}

void HFDownloadSession::didCompleteWithError(const QString &description, bool keepPart)
{
    if (m_file) {
        m_file->close();
        // A part that holds nothing, or bytes known to be wrong, is no start for the next try.
        if (!keepPart || m_file->size() == 0)
            m_file->remove();
        m_file.reset();
    }
    report(description);
}

void HFDownloadSession::fail(const QString &description, bool keepPart)
{
    if (!m_failure) {
        m_failure = description;
        m_keepPart = keepPart;
    }
    if (m_task && m_task->isRunning())
        m_task->abort();
}

void HFDownloadSession::cancel()
{
    if (m_task && m_task->isRunning())
        m_task->abort();
}

void HFDownloadSession::report(const std::optional<QString> &outcome)
{
    if (m_reported)
        return;
    m_reported = true;
    // Whatever the outcome, the hash has nothing more to do.
    m_hash.reset();
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
