#include "TrayMenu.h"

#include "AppModel.h"
#include "SymbolIcons.h"

#include <QApplication>
#include <QIcon>
#include <QWindow>

TrayMenu::TrayMenu(AppModel *app, QWindow *mainWindow, QObject *parent)
    : QObject(parent)
    , m_app(app)
    , m_window(mainWindow)
{
    m_modelLine = m_menu.addAction(QString());
    m_modelLine->setEnabled(false); // drawn in the secondary colour, like a caption
    m_menu.addSeparator();
    connect(m_menu.addAction(tr("New Chat")), &QAction::triggered, this, [this] {
        bringToFront();
        m_app->agentState()->newSession();
    });
    connect(m_menu.addAction(tr("Show Morlo AI")), &QAction::triggered, this, &TrayMenu::bringToFront);
    m_menu.addSeparator();
    connect(m_menu.addAction(tr("Quit")), &QAction::triggered, m_app, &AppModel::requestQuit);

    updateModelLine();
    connect(app->serverManager(), &ServerManager::activeModelChanged, this, &TrayMenu::updateModelLine);

    m_icon.setIcon(QIcon(SymbolIcons::iconPath(QStringLiteral("sparkles"))));
    m_icon.setToolTip(QStringLiteral("Morlo AI"));
    m_icon.setContextMenu(&m_menu);
    if (QSystemTrayIcon::isSystemTrayAvailable())
        m_icon.show();
}

void TrayMenu::updateModelLine()
{
    const QString name = m_app->serverManager()->activeModelNameText();
    m_modelLine->setText(name.isEmpty() ? tr("No model loaded") : name);
}

void TrayMenu::bringToFront()
{
    if (!m_window)
        return;
    m_window->show();
    m_window->raise();
    m_window->requestActivate();
}
