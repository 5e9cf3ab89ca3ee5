#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>

// The user's defaults: small settings kept in the platform's settings store under the
// organisation and application "Morlo AI". Every instance in the process sees the same values.
// The conversation archive is not kept here (see ArchiveStore).
namespace DefaultsKeys {
inline const QString systemPrompt = QStringLiteral("systemPrompt");
inline const QString temperature = QStringLiteral("temperature");
inline const QString maxTokens = QStringLiteral("maxTokens");
inline const QString autoLoadModelPath = QStringLiteral("autoLoadModelPath");
inline const QString autoLoadModelName = QStringLiteral("autoLoadModelName");
inline const QString userName = QStringLiteral("userName");
inline const QString responseStyle = QStringLiteral("responseStyle");
inline const QString onboardingComplete = QStringLiteral("onboardingComplete");
inline const QString completionSoundEnabled = QStringLiteral("completionSoundEnabled");
// Off by default: the clipboard is read without the approval card unless the user asks for it.
inline const QString askBeforeReadingClipboard = QStringLiteral("askBeforeReadingClipboard");
// Set once the user ticks "Don't ask again" when deleting a conversation.
inline const QString skipDeleteConfirmation = QStringLiteral("skipDeleteConfirmation");
} // namespace DefaultsKeys

class DefaultsStore
{
public:
    DefaultsStore();

    bool contains(const QString &key) const { return m_settings.contains(key); }
    QVariant value(const QString &key) const { return m_settings.value(key); }
    QString text(const QString &key) const { return m_settings.value(key).toString(); }
    bool boolean(const QString &key, bool whenAbsent) const;
    void setValue(const QString &key, const QVariant &value) { m_settings.setValue(key, value); }
    void remove(const QString &key) { m_settings.remove(key); }
    void clear() { m_settings.clear(); }
    void sync() { m_settings.sync(); }

private:
    QSettings m_settings;
};
