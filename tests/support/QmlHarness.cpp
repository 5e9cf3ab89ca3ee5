#include "QmlHarness.h"

#include "AppModel.h"
#include "TestSupport.h"

#include <QDir>
#include <QImage>
#include <QQmlComponent>
#include <QTest>
#include <algorithm>

QmlHarness::QmlHarness()
{
    m_engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
}

QmlHarness::~QmlHarness()
{
    // Windows go before the objects they show.
    if (m_ownsWindow)
        delete m_window;
    const auto roots = m_engine.rootObjects();
    for (QObject *root : roots)
        delete root;
}

bool QmlHarness::startMainWindow()
{
    return startMainWindow(EngineEnvironment::standard());
}

bool QmlHarness::startMainWindow(const EngineEnvironment &engine)
{
    m_app = std::make_unique<AppModel>(engine, nullptr);
    if (!m_app->loadMainWindow(m_engine))
        return false;
    m_window = qobject_cast<QQuickWindow *>(m_engine.rootObjects().constFirst());
    if (!m_window)
        return false;
    m_window->show();
    return QTest::qWaitForWindowExposed(m_window);
}

bool QmlHarness::startView(const QString &fileName, const QVariantMap &properties, QSize size)
{
    QQmlComponent component(&m_engine, QUrl(QStringLiteral("qrc:/qt/qml/MorloAI/") + fileName));
    QObject *object = component.createWithInitialProperties(properties);
    if (!object) {
        qWarning().noquote() << component.errorString();
        return false;
    }
    m_ownsWindow = true;
    auto *item = qobject_cast<QQuickItem *>(object);
    m_window = item ? new QQuickWindow : qobject_cast<QQuickWindow *>(object);
    if (!m_window)
        return false;
    if (item) {
        m_window->resize(size);
        item->setParent(m_window);
        item->setParentItem(m_window->contentItem());
        item->setSize(size);
        QObject::connect(m_window, &QQuickWindow::widthChanged, item, [item, this] { item->setWidth(m_window->width()); });
        QObject::connect(m_window, &QQuickWindow::heightChanged, item, [item, this] { item->setHeight(m_window->height()); });
    }
    m_window->show();
    return QTest::qWaitForWindowExposed(m_window);
}

namespace {

// Walks the visual tree: list delegates and popups have visual parents, not always QObject ones.
void collect(QQuickItem *item, const QString &objectName, QList<QQuickItem *> &found)
{
    if (item->objectName() == objectName)
        found.append(item);
    const auto children = item->childItems();
    for (QQuickItem *child : children)
        collect(child, objectName, found);
}

} // namespace

QObject *QmlHarness::findObject(const QString &objectName, int timeoutMs) const
{
    QObject *found = nullptr;
    (void)QTest::qWaitFor([&] {
        found = m_window ? m_window->findChild<QObject *>(objectName) : nullptr;
        return (found = found ? found : find(objectName, 0)) != nullptr;
    }, timeoutMs);
    return found;
}

QQuickItem *QmlHarness::find(const QString &objectName, int timeoutMs) const
{
    QQuickItem *found = nullptr;
    const auto look = [&] {
        QList<QQuickItem *> items;
        if (m_window)
            collect(m_window->contentItem(), objectName, items);
        const auto visible = std::find_if(items.cbegin(), items.cend(), [](QQuickItem *item) { return item->isVisible(); });
        found = visible == items.cend() ? nullptr : *visible;
        return found != nullptr;
    };
    if (!look() && timeoutMs > 0)
        (void)QTest::qWaitFor(look, timeoutMs);
    return found;
}

void QmlHarness::click(QQuickItem *item, Qt::MouseButton button)
{
    if (!item) {
        QTest::qFail("click: no such item", __FILE__, __LINE__);
        return;
    }
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseClick(m_window, button, Qt::NoModifier, centre.toPoint());
    settle();
}

void QmlHarness::typeText(QQuickItem *item, const QString &text)
{
    if (item) {
        item->forceActiveFocus();
        settle(10);
    }
    // Each character as a key event carrying its text, so any Unicode text can be typed.
    for (const QChar ch : text) {
        const Qt::Key key = ch == QLatin1Char('\n') ? Qt::Key_Return : Qt::Key_unknown;
        QTest::sendKeyEvent(QTest::Press, m_window, key, QString(ch), Qt::NoModifier);
        QTest::sendKeyEvent(QTest::Release, m_window, key, QString(ch), Qt::NoModifier);
    }
    settle();
}

void QmlHarness::pressKey(Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    QTest::keyClick(m_window, key, modifiers);
    settle();
}

void QmlHarness::settle(int ms)
{
    QTest::qWait(ms);
}

QString QmlHarness::saveScreenshot(const QString &name)
{
    settle(100);
    const QString path = QDir(TestSupport::screenshotDirectory()).filePath(name + QStringLiteral(".png"));
    m_window->grabWindow().save(path);
    return path;
}
