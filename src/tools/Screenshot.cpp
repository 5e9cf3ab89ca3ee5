#include "tools/Screenshot.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QStandardPaths>

#include <algorithm>

namespace Screenshot {

namespace {

constexpr double maximumWidth = 1280.0;
constexpr int jpegQuality = 65;

QString captureFailed(const QString &description)
{
    return QStringLiteral("Screenshot failed: ") + description
           + QStringLiteral(". Grant Screen Recording permission in System Settings > Privacy & Security.");
}

// The Desktop keeps a copy under the local time; a second capture in the same second replaces it.
// Many Linux homes have no Desktop folder: it is made, so the copy the result names exists.
void saveDesktopCopy(const QByteArray &jpeg)
{
    const QString name = QStringLiteral("Screenshot_")
                         + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss"))
                         + QStringLiteral(".jpg");
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    QDir().mkpath(desktop);
    QFile copy(QDir(desktop).filePath(name));
    if (copy.open(QIODevice::WriteOnly | QIODevice::Truncate))
        copy.write(jpeg);
}

} // namespace

QImage scaledForModel(const QImage &capture)
{
    const double factor = std::min(maximumWidth / capture.width(), 1.0);
    const int width = int(factor * capture.width());
    const int height = int(factor * capture.height());
    if (width <= 0 || height <= 0)
        return {};
    QImage scaled(width, height, QImage::Format_RGB32);
    scaled.fill(Qt::black);
    QPainter painter(&scaled);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(QRect(0, 0, width, height), capture);
    painter.end();
    return scaled;
}

QCoro::Task<QString> takeScreenshot()
{
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        co_return QStringLiteral("No display found");

    // X11 hands over the whole screen; a Wayland session refuses and gives an empty image.
    const QImage capture = screen->grabWindow(0).toImage();
    if (capture.isNull() || capture.width() <= 0)
        co_return captureFailed(QStringLiteral("The window system did not allow capturing the screen"));

    const QImage scaled = scaledForModel(capture);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    if (scaled.isNull() || !scaled.save(&buffer, "JPEG", jpegQuality) || jpeg.isEmpty())
        co_return QStringLiteral("Screenshot encoding failed");

    saveDesktopCopy(jpeg);
    co_return QStringLiteral("data:image/jpeg;base64,") + QString::fromLatin1(jpeg.toBase64());
}

} // namespace Screenshot
