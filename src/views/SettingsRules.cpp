#include "SettingsRules.h"

#include "conversation/AgentState.h"
#include "models/ModelManager.h"

QVariantList SettingsRules::downloadedModels(const ModelManager &modelManager)
{
    QVariantList pairs;
    for (const HFModel &model : modelManager.models()) {
        for (const ModelVariant &variant : model.variants) {
            if (!variant.isDownloaded)
                continue;
            pairs.append(QVariantMap{
                {QStringLiteral("path"), ModelManager::localFileURL(model, variant).toLocalFile()},
                {QStringLiteral("label"), model.displayName + u' ' + variant.quantization},
            });
        }
    }
    return pairs;
}

QVariantList SettingsRules::downloadedModels(QObject *modelManager)
{
    auto *manager = qobject_cast<ModelManager *>(modelManager);
    return manager ? downloadedModels(*manager) : QVariantList();
}

int SettingsRules::indexOfPath(const QVariantList &pairs, const QString &path)
{
    for (int i = 0; i < pairs.size(); ++i) {
        if (pairs.at(i).toMap().value(QStringLiteral("path")).toString() == path)
            return i;
    }
    return -1;
}

void SettingsRules::setAutoLoadModel(QObject *agentState, const QString &path,
                                     const QString &label)
{
    auto *state = qobject_cast<AgentState *>(agentState);
    if (!state)
        return;
    if (path.isEmpty())
        state->setAutoLoadModel(std::nullopt, std::nullopt);
    else
        state->setAutoLoadModel(path, label);
    state->save();
}

QString SettingsRules::engineBlock(bool isUninstalling, bool engineInstalled,
                                   bool homebrewInstalled, const QString &installState,
                                   bool canDownload)
{
    if (isUninstalling)
        return QStringLiteral("uninstalling");
    if (engineInstalled)
        return QStringLiteral("installed");
    // A Homebrew install under way keeps its own block until it ends.
    if (canDownload && (installState == QLatin1String("idle") || !homebrewInstalled))
        return QStringLiteral("download");
    if (!homebrewInstalled)
        return QStringLiteral("homebrewMissing");
    return installState;
}

QString SettingsRules::uninstallSubtitle(const QString &sourceKey)
{
    if (sourceKey == QLatin1String("downloaded"))
        return QStringLiteral("Removes the downloaded engine and stops the server.");
    return QStringLiteral("Runs brew uninstall llama.cpp and stops the server.");
}

QVariant SettingsRules::parseMaxTokens(const QString &text)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    return ok ? QVariant(value) : QVariant();
}

QString SettingsRules::temperatureText(double temperature)
{
    return QString::asprintf("%.2f", temperature);
}
