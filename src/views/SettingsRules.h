#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

class ModelManager;

// The decisions of the settings view, as plain functions the QML calls.
class SettingsRules : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    // Every downloaded file in catalogue order, as {path, label}: the file's local path and
    // "<displayName> <quantization>".
    static QVariantList downloadedModels(const ModelManager &modelManager);
    Q_INVOKABLE static QVariantList downloadedModels(QObject *modelManager);
    // Index of the pair whose path is `path`, or -1 (a stored path that matches nothing).
    Q_INVOKABLE static int indexOfPath(const QVariantList &pairs, const QString &path);

    // Stores the start-up model (an empty path switches auto-load off) and saves the store.
    Q_INVOKABLE static void setAutoLoadModel(QObject *agentState, const QString &path,
                                             const QString &label);

    // Which engine block shows: "uninstalling", "installed", "download" (where the app fetches
    // llama.cpp's own build), "homebrewMissing", or the Homebrew install state ("idle",
    // "installing", "succeeded", "failed").
    Q_INVOKABLE static QString engineBlock(bool isUninstalling, bool engineInstalled,
                                           bool homebrewInstalled, const QString &installState,
                                           bool canDownload = false);
    // What removing the engine does, by where it came from ("homebrew", "downloaded").
    Q_INVOKABLE static QString uninstallSubtitle(const QString &sourceKey);

    // The maximum-tokens field takes whole numbers only, as typed (zero and negatives too: the
    // store ignores them at the next start). Anything else leaves the value as it was: null.
    Q_INVOKABLE static QVariant parseMaxTokens(const QString &text);
    Q_INVOKABLE static QString temperatureText(double temperature);
};
