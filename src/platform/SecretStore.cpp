#include "platform/SecretStore.h"

#include <QPointer>
#include <qcorosignal.h>
#include <qt6keychain/keychain.h>

#include <memory>

namespace {

// Runs one keyring job to its end; the job's own error code, or NoError.
QCoro::Task<QKeychain::Error> run(QKeychain::Job *job)
{
    job->setAutoDelete(false);
    std::unique_ptr<QKeychain::Job, void (*)(QKeychain::Job *)> owner(job, [](QKeychain::Job *j) { j->deleteLater(); });
    job->start();
    co_await qCoro(job, &QKeychain::Job::finished);
    co_return job->error();
}

// A keyring that is missing or unreachable, as opposed to an entry that is not there.
bool isUnavailable(QKeychain::Error error)
{
    return error == QKeychain::NoBackendAvailable || error == QKeychain::NotImplemented
        || error == QKeychain::OtherError || error == QKeychain::AccessDenied;
}

} // namespace

SecretStore::SecretStore(QString service, QObject *parent)
    : QObject(parent)
    , m_service(std::move(service))
{
}

QCoro::Task<std::optional<QString>> SecretStore::read(QString key)
{
    if (m_memory.contains(key))
        co_return m_memory.value(key);
    auto *job = new QKeychain::ReadPasswordJob(m_service);
    job->setKey(key);
    // The store may be gone by the time the keyring answers.
    const QPointer<SecretStore> self(this);
    const QKeychain::Error error = co_await run(job);
    if (error == QKeychain::NoError)
        co_return job->textData();
    if (self && isUnavailable(error))
        setKeyringAvailable(false);
    co_return std::nullopt;
}

QCoro::Task<bool> SecretStore::write(QString key, QString secret)
{
    auto *job = new QKeychain::WritePasswordJob(m_service);
    job->setKey(key);
    job->setTextData(secret);
    const QPointer<SecretStore> self(this);
    const QKeychain::Error error = co_await run(job);
    if (!self)
        co_return error == QKeychain::NoError;
    if (error == QKeychain::NoError) {
        m_memory.remove(key);
        setKeyringAvailable(true);
        co_return true;
    }
    setKeyringAvailable(false);
    m_memory.insert(key, secret);
    co_return false;
}

QCoro::Task<> SecretStore::remove(QString key)
{
    m_memory.remove(key);
    auto *job = new QKeychain::DeletePasswordJob(m_service);
    job->setKey(key);
    co_await run(job);
}

void SecretStore::setKeyringAvailable(bool value)
{
    if (m_keyringAvailable == value)
        return;
    m_keyringAvailable = value;
    emit keyringAvailableChanged();
}
