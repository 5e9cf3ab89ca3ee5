#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <optional>
#include <qcorotask.h>

class QNetworkAccessManager;

// One GGUF file of a hub repository, as its tree listing describes it.
struct HFHubFile
{
    QString filename;
    qint64 sizeBytes = 0;   // 0 when the hub did not say
    QByteArray sha256;      // lower-case hex of the file's content (its LFS id); empty when unknown
    QString quantization;   // read from the file name
};

// One repository found by a search.
struct HFHubRepository
{
    QString repo;
    qint64 downloads = 0;
    qint64 likes = 0;
};

// An answer of the hub's API: the value, or the text to show instead.
template<typename T>
struct HubAnswer
{
    std::optional<T> value;
    QString error;
    int status = 0;   // the HTTP status of a refusal; 0 for a transport failure
};

// What the user typed into "Add from the hub": a repository, possibly naming one file.
struct HubReference
{
    QString repo;       // "owner/name"
    QString filename;   // empty when the whole repository is meant
};

// The model hub's API: a repository's GGUF files and the search for GGUF repositories. The
// account token, when the user gave one, goes as a bearer token to the hub's own address only.
class HFHubClient : public QObject
{
    Q_OBJECT

public:
    explicit HFHubClient(QUrl hubBaseURL, QObject *parent = nullptr);

    QUrl hubBaseURL() const { return m_hubBaseURL; }
    QString token() const { return m_token; }
    void setToken(const QString &token) { m_token = token; }

    // The GGUF files of "owner/name", with size, SHA-256 and quantisation, split models as
    // their first part only.
    QCoro::Task<HubAnswer<QList<HFHubFile>>> listFiles(QString repo);
    // Up to 20 GGUF repositories matching the query, most downloaded first.
    QCoro::Task<HubAnswer<QList<HFHubRepository>>> search(QString query);

    // "owner/name", a repository page, or a "/resolve/" or "/blob/" file address; none when the
    // text is neither.
    static std::optional<HubReference> parseReference(const QString &text);
    // "This model needs a hub account token" for 401 and 403, else "<status> — <hub message>".
    static QString refusalText(int status, const QByteArray &body);

private:
    QCoro::Task<HubAnswer<QByteArray>> get(QString pathAndQuery);

    QUrl m_hubBaseURL;
    QString m_token;
    QNetworkAccessManager *m_network;
};
