#pragma once

#include <QByteArray>
#include <QString>

// Which renderer draws the windows. Without a graphics processor, Qt's default path draws
// through a CPU emulation of OpenGL: slower than Qt's own software renderer and about 100 MB
// heavier, memory the model needs more. So a machine with no GPU device gets the software
// renderer; one with a GPU keeps the default, and a renderer the user chose is kept.
namespace SceneRenderer {

// `driDirectory` is where the system lists its GPU render devices; `chosenBackend` is the
// user's own choice (the QT_QUICK_BACKEND variable), empty when there is none.
bool wantsSoftware(const QString &driDirectory, const QByteArray &chosenBackend);

// Must run before the first window is created.
void choose();

} // namespace SceneRenderer
