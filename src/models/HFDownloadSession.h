#pragma once

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

class QNetworkAccessManager;
class QTemporaryFile;

// How long a model download may go on. Tests shorten these; the app always uses the defaults.
struct DownloadTiming
{
    // A transfer that receives nothing for this long is given up.
    std::chrono::milliseconds requestTimeout{60'000};
    // Two hours for the whole file.
    std::chrono::milliseconds resourceTimeout{7'200'000};
};

// One running model download. The body goes straight to a temporary file beside the destination
// as it arrives, so a model is never held in memory, and it is renamed into place in one step
// when the transfer ends well; a failed or cancelled transfer leaves nothing behind and never
// touches a file already at the destination. Lives on the GUI thread and deletes itself once it
// has reported its outcome.
class HFDownloadSession : public QObject
{
    Q_OBJECT

public:
    // Fraction done, bytes written, bytes the server announced.
    using ProgressHandler = std::function<void(double, qint64, qint64)>;
    // No text = the file is in place; otherwise the description of what went wrong.
    using CompletionHandler = std::function<void(const std::optional<QString> &)>;

    HFDownloadSession(QString destURL, ProgressHandler onProgress, CompletionHandler onComplete,
                      DownloadTiming timing = {}, QObject *parent = nullptr);
    ~HFDownloadSession() override;

    const QString destURL;
    const ProgressHandler onProgress;
    const CompletionHandler onComplete;

    void start(const QUrl &url);
    // Stops the transfer; the completion handler then reports the cancellation.
    void cancel();
    QNetworkReply *task() const { return m_task; }

private:
    QNetworkAccessManager *session();
    void didWriteData();
    void didFinishDownloading();
    void didCompleteWithError(const QString &description);
    void fail(const QString &description);
    void report(const std::optional<QString> &outcome);

    DownloadTiming m_timing;
    QNetworkAccessManager *m_session = nullptr;
    QPointer<QNetworkReply> m_task;
    std::unique_ptr<QTemporaryFile> m_file;
    qint64 m_bytesWritten = 0;
    qint64 m_bytesExpected = -1;
    // Set when the transfer is stopped from this side, so the outcome names the real cause
    // (a write error, a time-out) rather than the abort that followed it.
    std::optional<QString> m_failure;
    bool m_reported = false;
    QTimer m_requestTimer;
    QTimer m_resourceTimer;
};
