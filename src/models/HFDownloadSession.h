#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QFile;
class QNetworkAccessManager;
class StreamingSha256;

// How long a download may go on. Tests shorten these; the app always uses the defaults.
struct DownloadTiming
{
    // A transfer that receives nothing for this long is given up.
    std::chrono::milliseconds requestTimeout{60'000};
    // Two hours for the whole file.
    std::chrono::milliseconds resourceTimeout{7'200'000};
};

// What a finished file must satisfy before it replaces the destination. The server's status is
// always checked; the rest only where the caller knows it.
struct DownloadChecks
{
    // Lower-case hex SHA-256 of the whole file, as the hub's tree listing gives it.
    QByteArray sha256;
    // The file must start with these bytes ("GGUF" for a model).
    QByteArray magic;
    // Sent as "Authorization: Bearer …" to the first host only, never to a host it redirects to.
    QString bearerToken;
};

// One running download of a model or engine file. The body goes straight to "<dest>.part" as it
// arrives, so a file is never held in memory, and is hashed on a worker thread meanwhile; a cut
// or cancelled transfer keeps that part, and the next download of the same file asks only for
// the rest (HTTP Range) when the server allows it. Only a complete, checked file is renamed into
// place, in one step, so a file already at the destination stays until a good one replaces it.
// Lives on the GUI thread and deletes itself once it has reported its outcome.
class HFDownloadSession : public QObject
{
    Q_OBJECT

public:
    // Fraction done, bytes on disk (kept part included), bytes of the whole file.
    using ProgressHandler = std::function<void(double, qint64, qint64)>;
    // No text = the file is in place; otherwise the description of what went wrong.
    using CompletionHandler = std::function<void(const std::optional<QString> &)>;

    HFDownloadSession(QString destURL, ProgressHandler onProgress, CompletionHandler onComplete,
                      DownloadTiming timing = {}, QObject *parent = nullptr);
    ~HFDownloadSession() override;

    const QString destURL;
    const ProgressHandler onProgress;
    const CompletionHandler onComplete;

    // Set before start().
    void setChecks(DownloadChecks checks) { m_checks = std::move(checks); }
    // The partial file a cut download leaves beside its destination.
    static QString partPath(const QString &destination);

    void start(const QUrl &url);
    // Stops the transfer and keeps what arrived; the completion handler then reports the
    // cancellation. Once every byte has arrived it is too late: the file's check runs on.
    void cancel();
    QNetworkReply *task() const { return m_task; }
    // The HTTP status of the last answer; 0 before one arrived or without one.
    int status() const { return m_status; }

signals:
    // The transfer continues a kept part of this many bytes, so progress starts there.
    void resumed(qint64 keptBytes);

private:
    QNetworkAccessManager *session();
    void request(const QUrl &url);
    void didReceiveResponse();
    void didWriteData();
    void didFinishDownloading();
    void startHash(qint64 keptBytes);
    void didHashFile(const QByteArray &digest);
    void placeFile();
    void didCompleteWithError(const QString &description, bool keepPart);
    void fail(const QString &description, bool keepPart = true);
    void report(const std::optional<QString> &outcome);
    std::optional<QString> checkFinishedFile();

    DownloadTiming m_timing;
    DownloadChecks m_checks;
    QNetworkAccessManager *m_session = nullptr;
    QPointer<QNetworkReply> m_task;
    QUrl m_firstURL;
    int m_redirects = 0;
    int m_status = 0;
    std::unique_ptr<QFile> m_file;
    std::unique_ptr<StreamingSha256> m_hash;
    bool m_heldBack = false;     // the hash is behind: the reply keeps the next bytes meanwhile
    qint64 m_keptBytes = 0;      // already on disk when the transfer started
    qint64 m_bytesWritten = 0;   // on disk now, kept part included
    qint64 m_bytesExpected = -1; // the whole file; -1 while unknown
    bool m_bodyIsFile = false;   // a 200/206 answer; an error answer's body is the hub's message
    QByteArray m_errorBody;
    // Set when the transfer is stopped from this side, so the outcome names the real cause
    // (a write error, a time-out) rather than the abort that followed it.
    std::optional<QString> m_failure;
    bool m_keepPart = true;
    bool m_reported = false;
    QTimer m_requestTimer;
    QTimer m_resourceTimer;
};
