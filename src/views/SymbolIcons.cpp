#include "SymbolIcons.h"

#include "SymbolImageProvider.h"

#include <QFile>
#include <QHash>
#include <QQmlEngine>
#include <QResource>

namespace {

const QString providerName = QStringLiteral("symbol");
const QString iconThemeFile = QStringLiteral("/usr/share/icons/breeze/breeze-icons.rcc");
const QString iconThemeRoot = QStringLiteral("/breeze");

// Symbol name → Breeze icon (the 22-pixel set).
const QHash<QString, QString> &table()
{
    static const QHash<QString, QString> icons = {
        {QStringLiteral("app.badge"), QStringLiteral("actions/22/window")},
        {QStringLiteral("apps.iphone"), QStringLiteral("devices/22/smartphone")},
        {QStringLiteral("arrow.clockwise"), QStringLiteral("actions/22/view-refresh")},
        {QStringLiteral("arrow.down.doc.fill"), QStringLiteral("actions/22/document-import")},
        {QStringLiteral("arrow.up"), QStringLiteral("actions/22/arrow-up")},
        {QStringLiteral("arrow.up.right"), QStringLiteral("actions/22/go-next-view")},
        {QStringLiteral("bolt.fill"), QStringLiteral("actions/22/quick")},
        {QStringLiteral("brain.head.profile"), QStringLiteral("actions/22/im-user")},
        {QStringLiteral("bubble.left.and.bubble.right.fill"), QStringLiteral("actions/22/dialog-messages")},
        {QStringLiteral("camera.viewfinder"), QStringLiteral("devices/22/camera-photo")},
        {QStringLiteral("checkmark"), QStringLiteral("actions/22/checkmark")},
        {QStringLiteral("checkmark.circle.fill"), QStringLiteral("status/22/data-success")},
        {QStringLiteral("chevron.down"), QStringLiteral("actions/22/go-down")},
        {QStringLiteral("chevron.right"), QStringLiteral("actions/22/go-next")},
        {QStringLiteral("chevron.up"), QStringLiteral("actions/22/go-up")},
        {QStringLiteral("clock.arrow.circlepath"), QStringLiteral("actions/22/view-history")},
        {QStringLiteral("cpu"), QStringLiteral("devices/22/computer")},
        {QStringLiteral("cpu.fill"), QStringLiteral("devices/22/computer")},
        {QStringLiteral("doc.on.doc"), QStringLiteral("actions/22/edit-copy")},
        {QStringLiteral("doc.text"), QStringLiteral("actions/22/document-new")},
        {QStringLiteral("doc.text.fill"), QStringLiteral("actions/22/document-new")},
        {QStringLiteral("equal.circle.fill"), QStringLiteral("actions/22/view-media-equalizer")},
        {QStringLiteral("exclamationmark.circle.fill"), QStringLiteral("status/22/data-error")},
        {QStringLiteral("exclamationmark.triangle.fill"), QStringLiteral("status/22/data-warning")},
        {QStringLiteral("folder"), QStringLiteral("places/22/folder")},
        {QStringLiteral("gear"), QStringLiteral("actions/22/settings-configure")},
        {QStringLiteral("hand.wave.fill"), QStringLiteral("actions/22/hand")},
        {QStringLiteral("info.circle"), QStringLiteral("actions/22/help-about")},
        {QStringLiteral("lock.shield.fill"), QStringLiteral("status/22/security-high")},
        {QStringLiteral("magnifyingglass"), QStringLiteral("actions/22/edit-find")},
        {QStringLiteral("pencil.circle.fill"), QStringLiteral("actions/22/document-edit")},
        {QStringLiteral("pencil"), QStringLiteral("actions/22/edit-rename")},
        {QStringLiteral("pin"), QStringLiteral("actions/22/window-pin")},
        {QStringLiteral("pin.fill"), QStringLiteral("actions/22/pin")},
        {QStringLiteral("pin.slash"), QStringLiteral("actions/22/window-unpin")},
        {QStringLiteral("sidebar.left"), QStringLiteral("actions/22/sidebar-collapse-left")},
        {QStringLiteral("slider.horizontal.3"), QStringLiteral("actions/22/configure")},
        {QStringLiteral("sparkles"), QStringLiteral("actions/22/tools-wizard")},
        {QStringLiteral("square.and.arrow.down"), QStringLiteral("actions/22/document-import")},
        {QStringLiteral("square.and.arrow.up"), QStringLiteral("actions/22/document-export")},
        {QStringLiteral("square.and.pencil"), QStringLiteral("actions/22/document-edit")},
        {QStringLiteral("stop.fill"), QStringLiteral("actions/22/media-playback-stop")},
        {QStringLiteral("terminal.fill"), QStringLiteral("apps/22/utilities-terminal")},
        {QStringLiteral("text.quote"), QStringLiteral("actions/22/format-text-blockquote")},
        {QStringLiteral("trash"), QStringLiteral("actions/22/edit-delete")},
        {QStringLiteral("wrench.and.screwdriver.fill"), QStringLiteral("actions/22/tools")},
        {QStringLiteral("xmark.circle"), QStringLiteral("actions/22/dialog-close")},
        {QStringLiteral("xmark.circle.fill"), QStringLiteral("actions/22/window-close")},
    };
    return icons;
}

} // namespace

QUrl SymbolIcons::source(const QString &symbol, const QColor &color) const
{
    if (!table().contains(symbol))
        return {};
    // The engine that asks is the one that will load the image: make sure it can.
    if (QQmlEngine *engine = qmlEngine(this); engine && !engine->imageProvider(providerName)) {
        loadIconTheme();
        engine->addImageProvider(providerName, new SymbolImageProvider);
    }
    return QUrl(QStringLiteral("image://%1/%2/%3").arg(providerName, symbol, color.name(QColor::HexArgb).mid(1)));
}

QStringList SymbolIcons::symbols()
{
    return table().keys();
}

QString SymbolIcons::iconPath(const QString &symbol)
{
    const auto it = table().constFind(symbol);
    if (it == table().constEnd())
        return {};
    return QStringLiteral(":%1/%2.svg").arg(iconThemeRoot, *it);
}

bool SymbolIcons::loadIconTheme()
{
    static const bool loaded = QFile::exists(QStringLiteral(":%1/actions").arg(iconThemeRoot))
        || QResource::registerResource(iconThemeFile, iconThemeRoot);
    return loaded;
}
