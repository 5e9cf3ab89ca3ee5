#pragma once

#include <QtGlobal>

// The machine's installed memory in bytes, as the operating system reports it.
qint64 physicalMemoryBytes();
