#pragma once

#include <QDateTime>
#include <QString>
#include <QUuid>
#include <optional>

// Identifiers and points in time in the form the chat archive stores them: upper-case UUID text
// and seconds since 2001-01-01 00:00:00 UTC.
namespace Identifiers {

QString uuidText(const QUuid &id);          // "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"
QString newUuidText();
QUuid parseUuid(const QString &text);       // null QUuid when the text is not a UUID

double referenceSeconds(const QDateTime &when);
// Absent for a value no date can hold (not finite, or beyond a few thousand years either way).
std::optional<QDateTime> dateFromReferenceSeconds(double seconds);

} // namespace Identifiers
