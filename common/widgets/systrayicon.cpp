#include "systrayicon.h"

#include <QIcon>

SysTrayMenu::SysTrayMenu(QWidget* parent) : QMenu(parent)
{
    const QStringList entries{QStringLiteral("打开Tovia"), QStringLiteral("退出软件")};
    for (int i = 0; i < entries.size(); ++i) {
        QAction* action = addAction(entries.at(i));
        connect(action, &QAction::triggered, this, [this, i] { emit sigSysTrayMenuTriggered(i); });
    }
}

ToviaSysTrayIcon::ToviaSysTrayIcon(const QString& toolTip, QObject* parent)
    : QSystemTrayIcon(QIcon(QStringLiteral(":/res/logo.ico")), parent), m_pMenu(new SysTrayMenu)
{
    setToolTip(toolTip);
    setContextMenu(m_pMenu);
    connect(m_pMenu, &SysTrayMenu::sigSysTrayMenuTriggered, this,
            &ToviaSysTrayIcon::sigToviaSysTrayIconTriggered);
}

// A context menu is not owned by the tray icon.
ToviaSysTrayIcon::~ToviaSysTrayIcon()
{
    delete m_pMenu;
}
