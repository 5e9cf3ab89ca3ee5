#include "conversation/Identifiers.h"

#include <QTimeZone>

namespace Identifiers {

namespace {
const QDateTime &referenceDate()
{
    static const QDateTime date(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc());
    return date;
}
} // namespace

QString uuidText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

QString newUuidText()
{
    return uuidText(QUuid::createUuid());
}

QUuid parseUuid(const QString &text)
{
    // Only the plain 36-character form is a UUID in the archive; braces are not accepted.
    if (text.size() != 36)
        return {};
    return QUuid::fromString(text);
}

double referenceSeconds(const QDateTime &when)
{
    return double(referenceDate().msecsTo(when)) / 1000.0;
}

std::optional<QDateTime> dateFromReferenceSeconds(double seconds)
{
    // 1e11 seconds is about 3,000 years: far past any real message, and the milliseconds stay
    // well inside what a date can hold, so the conversion below is always defined.
    constexpr double limit = 1e11;
    if (!(seconds >= -limit && seconds <= limit))
        return std::nullopt;
    // Kept in UTC: converting every stored message to local time would dominate a cold start.
    return referenceDate().addMSecs(qint64(seconds * 1000.0));
}

} // namespace Identifiers
