#pragma once

#include <QStringList>

// Sorts ascending by Unicode code point, case-sensitive: "Zebra" before "apple", and characters
// outside the Basic Multilingual Plane after every character inside it.
void sortByCodePoint(QStringList &names);
