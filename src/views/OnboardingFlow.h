#pragma once

#include <QObject>
#include <QString>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

class ModelManager;

// The rules of the first-run flow, as plain functions the QML calls. Steps: 0 name,
// 1 engine, 2 response style.
class OnboardingFlow : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    static constexpr int totalSteps = 3;

    // The step after "Continue"/"Get Started"; totalSteps means the flow wants to finish.
    Q_INVOKABLE static int forwardStep(int step, bool engineReady);
    Q_INVOKABLE static int backStep(int step, bool engineReady);
    // Whether finishing first offers the starter download.
    Q_INVOKABLE static bool needsStarterPrompt(bool hasDownloadedModel);
    Q_INVOKABLE static bool isNameAccepted(const QString &userName);
    Q_INVOKABLE static bool engineReady(bool engineInstalled, const QString &installState);
    // "ready", "download", "install" or "homebrewMissing": which variant of the engine step
    // shows. Where the app can fetch llama.cpp's own build, that is the way offered first.
    Q_INVOKABLE static QString engineStepState(bool engineReady, bool homebrewInstalled,
                                               bool canDownload = false);
    // The forward control on the engine step: "continue", "skip" or "" (none). With a download
    // on offer the user may also skip and fetch the engine later in Settings.
    Q_INVOKABLE static QString engineStepForward(bool engineReady, bool homebrewInstalled,
                                                 bool canDownload = false);
    Q_INVOKABLE static QString continueTitle(int step);

    // Display rows: value, title, description, icon.
    Q_INVOKABLE static QVariantList responseStyles();

    static bool hasDownloadedModel(const ModelManager &modelManager);
    Q_INVOKABLE static bool hasDownloadedModel(QObject *modelManager);
    // Starts the first catalogue model's first file, when there is one.
    Q_INVOKABLE static void startStarterDownload(QObject *modelManager);
    // Writes the name (trimmed), the style and the completion flag.
    Q_INVOKABLE static void finish(const QString &userName, const QString &responseStyle);
};
