#pragma once

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QString>
#include <memory>

class AppModel;

// Drives the real QML: starts the main window over a real AppModel (or any QML file with given
// initial properties), finds items by objectName, clicks and types like a person, and saves
// screenshots under <build>/screenshots.
class QmlHarness
{
public:
    QmlHarness();
    ~QmlHarness();

    // The application's own main window over a fresh AppModel (with an injected engine
    // environment when given).
    bool startMainWindow();
    bool startMainWindow(const struct EngineEnvironment &engine);
    // Any file of the MorloAI module (e.g. "ChatView.qml") hosted in a window, with properties.
    bool startView(const QString &fileName, const QVariantMap &properties, QSize size = {900, 640});

    AppModel *app() const { return m_app.get(); }
    QQmlEngine *engine() { return &m_engine; }
    QQuickWindow *window() const { return m_window; }

    // The visible item with that objectName, waiting up to timeoutMs for it to appear.
    QQuickItem *find(const QString &objectName, int timeoutMs = 3000) const;
    QObject *findObject(const QString &objectName, int timeoutMs = 3000) const;
    void click(QQuickItem *item, Qt::MouseButton button = Qt::LeftButton);
    void click(const QString &objectName) { click(find(objectName)); }
    void typeText(QQuickItem *item, const QString &text);
    void pressKey(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    // Lets bindings, layout and one frame settle.
    void settle(int ms = 50);
    // Saves <build>/screenshots/<name>.png and returns its path.
    QString saveScreenshot(const QString &name);

private:
    QQmlApplicationEngine m_engine;
    std::unique_ptr<AppModel> m_app;
    QQuickWindow *m_window = nullptr;
    bool m_ownsWindow = false; // a window made to host a single view
};
