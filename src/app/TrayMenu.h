#pragma once

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

class AppModel;
class QWindow;

// The menu in the desktop's tray: the loaded model, "New Chat", "Show Morlo AI" and "Quit".
// Only shown where the desktop has a tray; the app works the same without one.
class TrayMenu : public QObject
{
    Q_OBJECT
public:
    TrayMenu(AppModel *app, QWindow *mainWindow, QObject *parent = nullptr);

    QMenu *menu() { return &m_menu; }
    QSystemTrayIcon *icon() { return &m_icon; }
    // Shows the main window above the others and gives it the keyboard.
    void bringToFront();

private:
    void updateModelLine();

    AppModel *m_app;
    QPointer<QWindow> m_window;
    QMenu m_menu;
    QAction *m_modelLine;
    QSystemTrayIcon m_icon;
};
