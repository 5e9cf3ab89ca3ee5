#pragma once

#include <QObject>
#include <QtQml/qqmlregistration.h>

// The decisions of the models tab, as plain functions the QML calls.
class ModelLibraryRules : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    // The repository name is deliberately not searched.
    static bool matches(const QString &displayName, const QString &description,
                        const QString &parameterCount, const QString &searchText);
    // What the right side of a file's row offers: "progress", "loaded", "load" or "download".
    Q_INVOKABLE static QString variantAction(bool isDownloading, bool isDownloaded, bool isRunning,
                                             const QString &activeModelPath, const QString &localPath);
    // Pressing a card's header: close it when it is the open one, otherwise open it alone.
    Q_INVOKABLE static QString toggledModelID(const QString &expandedModelID, const QString &modelID);
    // A failed download adds "Check your connection" unless its reason already says so.
    Q_INVOKABLE static bool showsConnectionHint(const QString &failure);
};
