#pragma once

#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>

// The texts of the engine and onboarding screens that name the computer the app runs on, and
// Homebrew's own installer command for it.
class PlatformTexts : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    // "Mac" on macOS, "Linux computer" elsewhere.
    Q_INVOKABLE static QString computerName();
    // Homebrew's published one-line installer (the same script sets up Linuxbrew on Linux).
    Q_INVOKABLE static QString homebrewInstallCommand();
    Q_INVOKABLE static QString installSubtitle();
    Q_INVOKABLE static QString installEngineText();
    // Where the app fetches llama.cpp's own build itself.
    Q_INVOKABLE static QString downloadEngineText();
    Q_INVOKABLE static QString starterModelMessage();
};
