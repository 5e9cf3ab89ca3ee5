#include "models/DownloadTransfer.h"

#include "models/DownloadTexts.h"
#include "models/StreamingSha256.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

namespace {
// The reply keeps at most this much unread; beyond it Qt stops reading the socket, so a slow disk
// slows the transfer down instead of piling the file up in memory.
constexpr qint64 readBufferBytes = 1024 * 1024;
// An error answer's body is a short message; anything longer is not read further.
constexpr qsizetype errorBodyLimit = 64 * 1024;
constexpr int maximumRedirects = 10;
// Progress reaches the window this often at most: enough for a moving bar and a remaining time,
// few enough that a fast transfer never floods it.
constexpr qint64 progressIntervalMs = 200;
// How much nicer than the window the transfer runs: where cores are few, the window's thread is
// scheduled first and stays smooth, while the transfer still has every core the window leaves.
constexpr int transferNiceness = 5;

const QString timedOutDescription = QStringLiteral("The request timed out.");
const QString connectionLostDescription = QStringLiteral("The network connection was lost.");

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

DownloadTransfer::DownloadTransfer(QString destination, DownloadChecks checks, DownloadTiming timing)
    : m_destination(std::move(destination))
    , m_checks(std::move(checks))
    , m_timing(timing)
{
}

DownloadTransfer::~DownloadTransfer()
{
    // Quitting mid-transfer ends it without calling back into a half-destroyed transfer.
    if (m_task)
        m_task->disconnect(this);
}

void DownloadTransfer::start(const QUrl &url)
{
    // Niceness belongs to each thread here and passes to the threads it starts: the network's
    // and the hash's.
    const pid_t thread = gettid();
    setpriority(PRIO_PROCESS, static_cast<id_t>(thread), getpriority(PRIO_PROCESS, static_cast<id_t>(thread)) + transferNiceness);
    m_network = new QNetworkAccessManager(this);
    m_requestTimer = new QTimer(this);
    m_resourceTimer = new QTimer(this);
    for (QTimer *timer : {m_requestTimer, m_resourceTimer}) {
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this] { fail(timedOutDescription); });
    }
    m_firstURL = url;
    m_resourceTimer->start(m_timing.resourceTimeout);
    m_keptBytes = QFileInfo(HFDownloadSession::partPath(m_destination)).size();
    if (!m_checks.sha256.isEmpty())
        startHash(m_keptBytes);
    request(url);
}

// Every byte of the file passes through the hash once: the kept part first, then each new piece
// as it arrives. A kept part that cannot be read gives no digest, so the file counts as damaged
// and the next download starts over.
void DownloadTransfer::startHash(qint64 keptBytes)
{
    m_hash = std::make_unique<StreamingSha256>(HFDownloadSession::partPath(m_destination), keptBytes);
    m_heldBack = false;
    connect(m_hash.get(), &StreamingSha256::drained, this, [this] {
        m_heldBack = false;
        didWriteData();
    }, Qt::QueuedConnection);
    connect(m_hash.get(), &StreamingSha256::finished, this, &DownloadTransfer::didHashFile,
            Qt::QueuedConnection);
}

void DownloadTransfer::request(const QUrl &url)
{
    m_file = std::make_unique<QFile>(HFDownloadSession::partPath(m_destination));
    // Unbuffered: each piece goes to the system in one call, without a copy through QFile's buffer.
    const QIODevice::OpenMode mode = QIODevice::Unbuffered
        | (m_keptBytes > 0 ? QIODevice::Append : QIODevice::WriteOnly | QIODevice::Truncate);
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

    m_task = m_network->get(get);
    m_task->setReadBufferSize(readBufferBytes);
    connect(m_task, &QNetworkReply::metaDataChanged, this, &DownloadTransfer::didReceiveResponse);
    connect(m_task, &QNetworkReply::readyRead, this, [this] {
        if (!m_heldBack)
            didWriteData();
    });
    connect(m_task, &QNetworkReply::finished, this, [this, reply = m_task.data()] { didComplete(reply); });
    m_requestTimer->start(m_timing.requestTimeout);
}

void DownloadTransfer::didComplete(QNetworkReply *reply)
{
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
    if (!m_failure && status == 416 && m_keptBytes > 0) {
        // The server has nothing after the kept part: the part is longer than the file, or
        // already all of it while the server will not say so with an empty continuation. Either
        // way the part cannot be told apart from one of a file since replaced on the hub, so it
        // is dropped and the file asked for from the start. Without a Range that answer cannot
        // come again, so this happens once at most.
        m_file->close();
        m_file->remove();
        m_keptBytes = 0;
        if (m_hash)
            startHash(0);
        m_redirects = 0;
        request(m_firstURL);
        return;
    }
    m_requestTimer->stop();
    m_resourceTimer->stop();
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
}

void DownloadTransfer::didReceiveResponse()
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
    const qint64 available = QStorageInfo(QFileInfo(m_destination).absolutePath()).bytesAvailable();
    if (m_bytesExpected > 0 && available >= 0 && remaining > available)
        fail(QStringLiteral("Not enough disk space: needs %1, %2 free")
                 .arg(DownloadTexts::sizeText(remaining), DownloadTexts::sizeText(available)));
}

void DownloadTransfer::didWriteData()
{
    if (!m_task || !m_file)
        return;
    m_requestTimer->start(m_timing.requestTimeout);
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
    reportProgress(false);
}

// The first piece is shown at once (a resumed download starts past its kept part), the rest
// coalesced, and the last always.
void DownloadTransfer::reportProgress(bool now)
{
    // Without an announced length there is nothing to show a fraction of until the end.
    if (m_bytesExpected < 1 || m_bytesWritten == m_bytesReported)
        return;
    if (!now && m_bytesReported >= 0 && m_bytesWritten < m_bytesExpected
        && m_sinceReported.elapsed() < progressIntervalMs)
        return;
    m_bytesReported = m_bytesWritten;
    m_sinceReported.start();
    emit progressed(m_bytesWritten, m_bytesExpected);
}

void DownloadTransfer::didFinishDownloading()
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
    reportProgress(true);
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

void DownloadTransfer::didHashFile(const QByteArray &digest)
{
    if (m_reported)
        return;
    if (digest != m_checks.sha256.toLower()) {
        didCompleteWithError(HFDownloadSession::damagedDescription(), false);
        return;
    }
    placeFile();
}

void DownloadTransfer::placeFile()
{
    // One rename replaces any earlier copy, so the destination is never missing or half written.
    // No sync to disk first: flushing a model's worth of pages would take seconds, and the
    // system writes them out soon enough.
    if (std::rename(QFile::encodeName(m_file->fileName()).constData(),
                    QFile::encodeName(m_destination).constData()) != 0) {
        didCompleteWithError(QString::fromLocal8Bit(std::strerror(errno)), true);
        return;
    }
    m_file.reset();
    report(std::nullopt);
}

std::optional<QString> DownloadTransfer::checkFinishedFile()
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

void DownloadTransfer::didCompleteWithError(const QString &description, bool keepPart)
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

void DownloadTransfer::fail(const QString &description, bool keepPart)
{
    if (!m_failure) {
        m_failure = description;
        m_keepPart = keepPart;
    }
    if (m_task && m_task->isRunning())
        m_task->abort();
}

void DownloadTransfer::cancel()
{
    if (m_task && m_task->isRunning())
        m_task->abort();
}

void DownloadTransfer::report(const std::optional<QString> &failure)
{
    if (m_reported)
        return;
    m_reported = true;
    // Whatever the outcome, the hash has nothing more to do.
    m_hash.reset();
    emit ended(!failure, failure.value_or(QString()), m_status);
}
