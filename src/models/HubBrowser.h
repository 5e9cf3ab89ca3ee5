#pragma once

#include "models/HFHubClient.h"

#include <QObject>
#include <QTimer>
#include <QVariantList>
#include <qcorotask.h>

class ModelManager;
class SecretStore;

// What the models tab shows while the user looks for models on the hub: search results,
// the GGUF files of one repository, and why the hub refused. Picking a file hands it to the
// model library, which downloads it like a catalogue file.
class HubBrowser : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool busy READ busy NOTIFY changed)
    Q_PROPERTY(QString message READ message NOTIFY changed)
    Q_PROPERTY(bool needsToken READ needsToken NOTIFY changed)
    Q_PROPERTY(QString repo READ repo NOTIFY changed)
    // [{repo, downloads, likes}]
    Q_PROPERTY(QVariantList repositories READ repositories NOTIFY changed)
    // [{filename, quantization, sizeLabel}]
    Q_PROPERTY(QVariantList files READ files NOTIFY changed)

public:
    // `searchDelayMs`: typing waits this long for the next key before asking the hub.
    HubBrowser(ModelManager *library, HFHubClient *hub, SecretStore *secrets, int searchDelayMs = 300,
               QObject *parent = nullptr);

    bool busy() const { return m_busy; }
    QString message() const { return m_message; }
    bool needsToken() const { return m_needsToken; }
    QString repo() const { return m_repo; }
    QVariantList repositories() const;
    QVariantList files() const;

    // Debounced search of GGUF repositories; an empty query clears the results.
    Q_INVOKABLE void search(const QString &query);
    // "owner/name" or a hub address: lists that repository's GGUF files, or downloads the one
    // file the address names.
    Q_INVOKABLE void open(const QString &text);
    Q_INVOKABLE void download(int fileIndex);
    // Keeps the token in the keyring and asks again for what was refused.
    Q_INVOKABLE void saveToken(const QString &token);

signals:
    void changed();

private:
    QCoro::Task<> runSearch(QString query);
    QCoro::Task<> listFiles(HubReference reference);
    QCoro::Task<> loadToken();
    QCoro::Task<> storeToken(QString token);
    void setMessage(const QString &message, int status);

    ModelManager *m_library;
    HFHubClient *m_hub;
    SecretStore *m_secrets;
    QTimer m_searchTimer;
    QString m_query;
    int m_generation = 0;   // answers to superseded questions are dropped
    bool m_busy = false;
    QString m_message;
    bool m_needsToken = false;
    QString m_repo;
    std::optional<HubReference> m_lastReference;
    QList<HFHubRepository> m_repositories;
    QList<HFHubFile> m_files;
};
