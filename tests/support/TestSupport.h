#pragma once

#include <QString>

namespace TestSupport {

// Folder holding the fake engine, fake brew and the local hub server built with the tests.
QString fakesDirectory();
// Where UI tests save their screenshots: <build>/screenshots.
QString screenshotDirectory();
// Removes everything the app keeps under this test's private home (settings, archive, models).
void resetUserData();

} // namespace TestSupport
