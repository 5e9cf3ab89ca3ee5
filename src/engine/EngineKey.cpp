#include "engine/EngineKey.h"

#include <QByteArray>
#include <QRandomGenerator>

namespace EngineKey {

QString generate()
{
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    return QString::fromLatin1(bytes.toHex());
}

} // namespace EngineKey
