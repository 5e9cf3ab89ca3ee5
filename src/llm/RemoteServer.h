#pragma once

#include <QString>
#include <QUrl>
#include <QUuid>

// A serving engine on another machine (or another program on this one) that speaks the
// OpenAI-compatible API. Its API key is never part of the entry: the entry only names where the
// key is kept in the keyring.
struct RemoteServer
{
    QUuid id;
    QString name;
    QUrl baseUrl;                 // e.g. https://gpu.example.org:8000/v1
    bool hasKey = false;          // a key was given (it lives in the keyring, not here)
    bool plainHttpWarned = false; // the "not encrypted" warning was shown once already

    // Where this server's key lives in the keyring.
    QString keyReference() const;

    // Why a name and address cannot be saved, in words, or an empty text when they can.
    static QString validate(const QString &name, const QString &baseUrl);
    // The address as typed, without trailing slashes and surrounding spaces.
    static QUrl normalizedUrl(const QString &baseUrl);
    // "Messages to <host> are not encrypted" for plain HTTP to another machine, else empty.
    static QString plainHttpWarning(const QUrl &baseUrl);
};
