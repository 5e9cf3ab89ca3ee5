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
                                   bool homebrewInstalled, const QString &installState)
{
    if (isUninstalling)
        return QStringLiteral("uninstalling");
    if (engineInstalled)
        return QStringLiteral("installed");
    if (!homebrewInstalled)
        return QStringLiteral("homebrewMissing");
    return installState;
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
