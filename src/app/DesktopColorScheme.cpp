#include "DesktopColorScheme.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QGuiApplication>

namespace {
const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearanceGroup = QStringLiteral("org.freedesktop.appearance");
const QString colorSchemeKey = QStringLiteral("color-scheme");
// The portal answers at once or not at all; start-up must not wait on a missing one.
constexpr int portalTimeoutMs = 300;

// Read() wraps the value in one more variant than the signal does.
uint unwrap(QVariant value)
{
    while (value.canConvert<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    return value.toUInt();
}
} // namespace

DesktopColorScheme::DesktopColorScheme(QObject *parent)
    : QObject(parent)
    , m_platformPalette(QGuiApplication::palette())
{
}

void DesktopColorScheme::follow()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage read = QDBusMessage::createMethodCall(portalService, portalPath, settingsInterface,
                                                       QStringLiteral("Read"));
    read << appearanceGroup << colorSchemeKey;
    const QDBusMessage reply = bus.call(read, QDBus::Block, portalTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
        applyPreference(fromPortalValue(unwrap(reply.arguments().constFirst())));
    bus.connect(portalService, portalPath, settingsInterface, QStringLiteral("SettingChanged"), this,
                SLOT(onSettingChanged(QString, QString, QDBusVariant)));
}

void DesktopColorScheme::onSettingChanged(const QString &group, const QString &key, const QDBusVariant &value)
{
    if (group == appearanceGroup && key == colorSchemeKey)
        applyPreference(fromPortalValue(unwrap(value.variant())));
}

DesktopColorScheme::Preference DesktopColorScheme::fromPortalValue(uint value)
{
    return value == 1 ? Preference::dark : value == 2 ? Preference::light : Preference::none;
}

void DesktopColorScheme::applyPreference(Preference preference)
{
    // Without a preference the platform's palette stands, whatever it is.
    const bool platformDark = m_platformPalette.color(QPalette::Window).lightness() < 128;
    if (preference == Preference::dark && !platformDark)
        QGuiApplication::setPalette(darkPalette());
    else
        QGuiApplication::setPalette(m_platformPalette);
}

QPalette DesktopColorScheme::darkPalette()
{
    const QColor window(0x1f, 0x1f, 0x22);
    const QColor text(0xe8, 0xe8, 0xea);
    const QColor base(0x2a, 0x2a, 0x2e);
    const QColor button(0x34, 0x34, 0x38);
    const QColor accent(0x0a, 0x84, 0xff);
    QPalette palette(button, window);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, button);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, button);
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::BrightText, Qt::white);
    palette.setColor(QPalette::Highlight, accent);
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Link, accent.lighter(120));
    palette.setColor(QPalette::ToolTipBase, button);
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::PlaceholderText, QColor(0x8e, 0x8e, 0x93));
    palette.setColor(QPalette::Light, button.lighter(150));
    palette.setColor(QPalette::Midlight, button.lighter(125));
    palette.setColor(QPalette::Mid, button.darker(120));
    palette.setColor(QPalette::Dark, window.darker(130));
    palette.setColor(QPalette::Shadow, Qt::black);
    const QColor disabled(0x77, 0x77, 0x7c);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, disabled);
    return palette;
}
