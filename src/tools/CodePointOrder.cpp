#include "tools/CodePointOrder.h"

#include <algorithm>

void sortByCodePoint(QStringList &names)
{
    // UTF-16 order puts surrogate pairs before U+E000…U+FFFF; comparing code points does not.
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        const QList<uint> left = a.toUcs4();
        const QList<uint> right = b.toUcs4();
        return std::lexicographical_compare(left.begin(), left.end(), right.begin(), right.end());
    });
}
