#include "models/HubBrowser.h"

#include "models/DownloadTexts.h"
#include "models/ModelManager.h"
#include "platform/SecretStore.h"

#include <QPointer>

namespace {
const QString tokenKey = QStringLiteral("hub-token");
} // namespace

HubBrowser::HubBrowser(ModelManager *library, HFHubClient *hub, SecretStore *secrets, int searchDelayMs,
                       QObject *parent)
    : QObject(parent)
    , m_library(library)
    , m_hub(hub)
    , m_secrets(secrets)
{
    m_searchTimer.setSingleShot(true);
    m_searchTimer.setInterval(searchDelayMs);
    connect(&m_searchTimer, &QTimer::timeout, this, [this] { runSearch(m_query); });
    loadToken();
}

QVariantList HubBrowser::repositories() const
{
    QVariantList list;
    for (const HFHubRepository &repository : m_repositories)
        list.append(QVariantMap{{QStringLiteral("repo"), repository.repo},
                                {QStringLiteral("downloads"), repository.downloads},
                                {QStringLiteral("likes"), repository.likes}});
    return list;
}

QVariantList HubBrowser::files() const
{
    QVariantList list;
    for (const HFHubFile &file : m_files)
        list.append(QVariantMap{{QStringLiteral("filename"), file.filename},
                                {QStringLiteral("quantization"), file.quantization},
                                {QStringLiteral("sizeLabel"), file.sizeBytes > 0 ? DownloadTexts::sizeText(file.sizeBytes) : QString()}});
    return list;
}

void HubBrowser::setMessage(const QString &message, int status)
{
    m_message = message;
    m_needsToken = status == 401 || status == 403;
}

void HubBrowser::search(const QString &query)
{
    m_query = query.trimmed();
    ++m_generation;
    if (m_query.isEmpty()) {
        m_searchTimer.stop();
        m_repositories.clear();
        m_busy = false;
        setMessage({}, 0);
        emit changed();
        return;
    }
    m_searchTimer.start();
}

QCoro::Task<> HubBrowser::runSearch(QString query)
{
    const int generation = ++m_generation;
    const QPointer<HubBrowser> self(this);
    m_busy = true;
    emit changed();
    const HubAnswer<QList<HFHubRepository>> answer = co_await m_hub->search(query);
    if (!self || generation != m_generation)
        co_return;
    m_busy = false;
    m_repositories = answer.value.value_or(QList<HFHubRepository>());
    setMessage(answer.error, answer.status);
    emit changed();
}

void HubBrowser::open(const QString &text)
{
    const std::optional<HubReference> reference = HFHubClient::parseReference(text);
    if (!reference) {
        setMessage(QStringLiteral("Enter a repository as owner/name or a hub address"), 0);
        emit changed();
        return;
    }
    listFiles(*reference);
}

QCoro::Task<> HubBrowser::listFiles(HubReference reference)
{
    const int generation = ++m_generation;
    const QPointer<HubBrowser> self(this);
    m_lastReference = reference;
    m_repo = reference.repo;
    m_files.clear();
    m_busy = true;
    setMessage({}, 0);
    emit changed();
    const HubAnswer<QList<HFHubFile>> answer = co_await m_hub->listFiles(reference.repo);
    if (!self || generation != m_generation)
        co_return;
    m_busy = false;
    m_files = answer.value.value_or(QList<HFHubFile>());
    setMessage(answer.error, answer.status);
    if (answer.value && !reference.filename.isEmpty()) {
        const auto named = std::find_if(m_files.begin(), m_files.end(),
                                        [&](const HFHubFile &file) { return file.filename == reference.filename; });
        if (named != m_files.end())
            m_library->addHubFile(reference.repo, *named);
        else
            setMessage(QStringLiteral("%1 has no GGUF file %2").arg(reference.repo, reference.filename), 0);
    }
    emit changed();
}

void HubBrowser::download(int fileIndex)
{
    if (fileIndex >= 0 && fileIndex < m_files.size())
        m_library->addHubFile(m_repo, m_files[fileIndex]);
}

void HubBrowser::saveToken(const QString &token)
{
    storeToken(token.trimmed());
}

QCoro::Task<> HubBrowser::loadToken()
{
    const QPointer<HubBrowser> self(this);
    const std::optional<QString> token = co_await m_secrets->read(tokenKey);
    if (self && token && m_hub->token().isEmpty())
        m_hub->setToken(*token);
}

QCoro::Task<> HubBrowser::storeToken(QString token)
{
    // Used at once; the keyring may take its time to store it.
    m_hub->setToken(token);
    if (m_lastReference)
        listFiles(*m_lastReference);
    co_await m_secrets->write(tokenKey, token);
}
