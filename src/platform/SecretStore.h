#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <qcorotask.h>
#include <optional>

// Secrets the user gives the app (hub tokens, API keys of servers) live in the system keyring,
// never in the settings file or the chat archive. Where the desktop has no keyring service, a
// secret is kept in memory for this run only and `keyringAvailable` turns false so the views can
// say so. All on the GUI thread.
class SecretStore : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool keyringAvailable READ keyringAvailable NOTIFY keyringAvailableChanged)

public:
    // `service` names the app's entries in the keyring; tests pass their own.
    explicit SecretStore(QString service = QStringLiteral("Morlo AI"), QObject *parent = nullptr);

    bool keyringAvailable() const { return m_keyringAvailable; }

    // The stored secret, or none when there is none (or the keyring cannot be read).
    QCoro::Task<std::optional<QString>> read(QString key);
    // True when the keyring holds it; false when it is kept for this run only.
    QCoro::Task<bool> write(QString key, QString secret);
    QCoro::Task<> remove(QString key);

signals:
    void keyringAvailableChanged();

private:
    void setKeyringAvailable(bool value);

    QString m_service;
    bool m_keyringAvailable = true;
    // Secrets kept for this run only, when the keyring refused them.
    QHash<QString, QString> m_memory;
};
