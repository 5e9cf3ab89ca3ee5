#include "ModelLibraryRules.h"

bool ModelLibraryRules::matches(const QString &displayName, const QString &description,
                                const QString &parameterCount, const QString &searchText)
{
    if (searchText.isEmpty())
        return true;
    for (const QString *field : {&displayName, &description, &parameterCount}) {
        if (field->contains(searchText, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

QString ModelLibraryRules::variantAction(bool isDownloading, bool isDownloaded, bool isRunning,
                                         const QString &activeModelPath, const QString &localPath)
{
    if (isDownloading)
        return QStringLiteral("progress");
    if (!isDownloaded)
        return QStringLiteral("download");
    // A stopped engine may still name its last file: that row offers "Load" again.
    return isRunning && activeModelPath == localPath ? QStringLiteral("loaded") : QStringLiteral("load");
}

QString ModelLibraryRules::toggledModelID(const QString &expandedModelID, const QString &modelID)
{
    return expandedModelID == modelID ? QString() : modelID;
}

bool ModelLibraryRules::showsConnectionHint(const QString &failure)
{
    return !failure.contains(QLatin1String("check your connection"), Qt::CaseInsensitive);
}
