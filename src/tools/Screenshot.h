#pragma once

#include <QImage>
#include <QString>
#include <qcorotask.h>

namespace Screenshot {

// Captures the primary screen and returns it as a JPEG data URL, leaving a copy on the Desktop;
// when the screen cannot be captured, one of the fixed failure texts instead.
QCoro::Task<QString> takeScreenshot();

// The capture shrunk to at most 1280 pixels wide, proportions kept; narrower images keep their size.
QImage scaledForModel(const QImage &capture);

} // namespace Screenshot
