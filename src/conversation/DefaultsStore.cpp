#include "conversation/DefaultsStore.h"

DefaultsStore::DefaultsStore()
    : m_settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Morlo AI"),
                 QStringLiteral("Morlo AI"))
{
}

bool DefaultsStore::boolean(const QString &key, bool whenAbsent) const
{
    const QVariant v = m_settings.value(key);
    return v.isValid() ? v.toBool() : whenAbsent;
}
