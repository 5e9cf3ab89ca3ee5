#pragma once

#include <QDBusVariant>
#include <QObject>
#include <QPalette>

// Follows the desktop's light or dark preference. Qt 6.4 takes its palette from the platform
// theme, which on many Linux desktops stays light even when the user chose dark; the desktop
// portal's "color-scheme" setting says what the user chose, so a dark palette is applied when it
// asks for dark and the palette is light. Every view's colours follow the application palette.
class DesktopColorScheme : public QObject
{
    Q_OBJECT

public:
    enum class Preference { none, dark, light };

    explicit DesktopColorScheme(QObject *parent = nullptr);

    // Reads the portal's setting now and listens for changes while the app runs.
    void follow();

    // The portal's value: 1 prefers dark, 2 prefers light, anything else no preference.
    static Preference fromPortalValue(uint value);
    static QPalette darkPalette();

private slots:
    void onSettingChanged(const QString &group, const QString &key, const QDBusVariant &value);

private:
    void applyPreference(Preference preference);

    QPalette m_platformPalette;
};
