#include "SceneRenderer.h"

#include <QDir>
#include <QQuickWindow>

namespace SceneRenderer {

bool wantsSoftware(const QString &driDirectory, const QByteArray &chosenBackend)
{
    if (!chosenBackend.isEmpty())
        return false;
    // Render nodes are device files: listed only with System.
    const QStringList renderNodes = QDir(driDirectory).entryList({QStringLiteral("renderD*")},
                                                                 QDir::Files | QDir::System);
    return renderNodes.isEmpty();
}

void choose()
{
#ifdef Q_OS_LINUX
    if (wantsSoftware(QStringLiteral("/dev/dri"), qgetenv("QT_QUICK_BACKEND")))
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
#endif
}

} // namespace SceneRenderer
