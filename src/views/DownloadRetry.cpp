#include "DownloadRetry.h"

#include "models/ModelManager.h"

QObject *DownloadRetry::modelManager() const
{
    return m_manager;
}

void DownloadRetry::setModelManager(QObject *manager)
{
    auto *models = qobject_cast<ModelManager *>(manager);
    if (models == m_manager)
        return;
    if (m_manager)
        disconnect(m_manager, nullptr, this, nullptr);
    m_manager = models;
    m_downloading.clear();
    m_lastStopped.reset();
    m_failed.reset();
    if (models) {
        for (const HFModel &model : models->models())
            for (const ModelVariant &variant : model.variants)
                if (variant.isDownloading)
                    m_downloading.insert(variant.id);
        connect(models, &ModelManager::variantChanged, this, &DownloadRetry::variantChanged);
        connect(models, &ModelManager::lastErrorChanged, this, &DownloadRetry::lastErrorChanged);
    }
    emit modelManagerChanged();
    emit canRetryChanged();
}

void DownloadRetry::variantChanged(int modelIndex, int variantIndex)
{
    const HFModel &model = m_manager->models().at(modelIndex);
    const ModelVariant &variant = model.variants.at(variantIndex);
    if (variant.isDownloading) {
        m_downloading.insert(variant.id);
    } else if (m_downloading.remove(variant.id) && !variant.isDownloaded) {
        // The failure text follows this change.
        m_lastStopped = File{model.id, variant.id};
    }
}

void DownloadRetry::lastErrorChanged()
{
    const bool before = canRetry();
    // Absent while no failure is shown.
    m_failed = m_manager->lastErrorText().isEmpty() ? std::nullopt : m_lastStopped;
    if (canRetry() != before)
        emit canRetryChanged();
}

void DownloadRetry::retry()
{
    if (!m_manager || !m_failed)
        return;
    const File file = *m_failed;
    m_manager->clearLastError();
    for (const HFModel &model : m_manager->models()) {
        if (model.id != file.model)
            continue;
        for (const ModelVariant &variant : model.variants)
            if (variant.id == file.variant && !variant.isDownloading && !variant.isDownloaded)
                m_manager->downloadVariant(model, variant);
    }
}
