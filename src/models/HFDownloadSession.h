#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QThread>
#include <QUrl>
#include <chrono>
#include <functional>
#include <optional>

class DownloadTransfer;

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
// arrives, so a file is never held in memory, and is hashed meanwhile; a cut or cancelled
// transfer keeps that part, and the next download of the same file asks only for the rest (HTTP
// Range) when the server allows it. Only a complete, checked file is renamed into place, in one
// step, so a file already at the destination stays until a good one replaces it.
// The session lives on the GUI thread and calls its handlers there; the transfer itself runs on
// a thread the session owns, so a fast download never makes the window wait. The session
// deletes itself once it has reported its outcome.
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
    // A transfer still running (the app quits) stops; what arrived stays for next time.
    ~HFDownloadSession() override;

    const QString destURL;
    const ProgressHandler onProgress;
    const CompletionHandler onComplete;

    // Set before start().
    void setChecks(DownloadChecks checks) { m_checks = std::move(checks); }
    // The partial file a cut download leaves beside its destination.
    static QString partPath(const QString &destination);
    // The outcome of a file whose SHA-256 is not the one expected.
    static QString damagedDescription();

    void start(const QUrl &url);
    // Stops the transfer and keeps what arrived; the completion handler then reports the
    // cancellation. Once every byte has arrived it is too late: the file's check runs on.
    void cancel();
    // The HTTP status of the last answer; 0 before one arrived or without one.
    int status() const { return m_status; }

signals:
    // The transfer continues a kept part of this many bytes, so progress starts there.
    void resumed(qint64 keptBytes);

private:
    void didEnd(bool succeeded, const QString &failure, int status);

    DownloadTiming m_timing;
    DownloadChecks m_checks;
    QThread m_thread;
    DownloadTransfer *m_transfer = nullptr; // on m_thread; deleted there
    int m_status = 0;
};
