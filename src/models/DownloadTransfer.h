#pragma once

#include "models/HFDownloadSession.h"

#include <QElapsedTimer>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <memory>
#include <optional>

class QFile;
class QNetworkAccessManager;
class QTimer;
class StreamingSha256;

// The working half of a download, on a thread of its own so that reading the network, writing
// the part file and hashing never take turns with the window: the request and its redirects,
// the status and resume checks, the part file, the hash, the time-outs and the final checks.
// Everything it makes is made in start(), on its own thread; it tells its session what happens
// through queued signals, progress at most a few times a second.
class DownloadTransfer : public QObject
{
    Q_OBJECT

public:
    DownloadTransfer(QString destination, DownloadChecks checks, DownloadTiming timing);
    // Ends a running transfer quietly; what arrived stays in the part file for next time.
    ~DownloadTransfer() override;

    // Both on the transfer's own thread.
    void start(const QUrl &url);
    // Stops the transfer and keeps what arrived; the outcome then reports the cancellation.
    void cancel();

signals:
    // Bytes on disk (kept part included) of the whole file's bytes; only once the length is known.
    void progressed(qint64 written, qint64 expected);
    void resumed(qint64 keptBytes);
    // Once, at the end: an empty failure means the file is in place. `status` is the last
    // HTTP status, 0 without one.
    void ended(bool succeeded, const QString &failure, int status);

private:
    void request(const QUrl &url);
    void didReceiveResponse();
    void didWriteData();
    void didComplete(QNetworkReply *reply);
    void didFinishDownloading();
    void startHash(qint64 keptBytes);
    void didHashFile(const QByteArray &digest);
    void placeFile();
    void reportProgress(bool now);
    void didCompleteWithError(const QString &description, bool keepPart);
    void fail(const QString &description, bool keepPart = true);
    void report(const std::optional<QString> &failure);
    std::optional<QString> checkFinishedFile();

    const QString m_destination;
    const DownloadChecks m_checks;
    const DownloadTiming m_timing;
    QNetworkAccessManager *m_network = nullptr;
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
    qint64 m_bytesReported = -1; // as the last progress said
    QElapsedTimer m_sinceReported;
    bool m_bodyIsFile = false;   // a 200/206 answer; an error answer's body is the hub's message
    QByteArray m_errorBody;
    // Set when the transfer is stopped from this side, so the outcome names the real cause
    // (a write error, a time-out) rather than the abort that followed it.
    std::optional<QString> m_failure;
    bool m_keepPart = true;
    bool m_reported = false;
    QTimer *m_requestTimer = nullptr;
    QTimer *m_resourceTimer = nullptr;
};
