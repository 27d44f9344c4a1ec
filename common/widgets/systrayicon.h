#pragma once

#include <QMenu>
#include <QSystemTrayIcon>

// The tray menu of both programs: "打开Tovia" (index 0) and "退出软件" (index 1).
class SysTrayMenu : public QMenu
{
    Q_OBJECT
public:
    explicit SysTrayMenu(QWidget* parent = nullptr);

signals:
    void sigSysTrayMenuTriggered(int index);
};

// The tray icon of both programs (":/res/logo.ico"); forwards the menu's choice as
// sigToviaSysTrayIconTriggered(index).
class ToviaSysTrayIcon : public QSystemTrayIcon
{
    Q_OBJECT
public:
    explicit ToviaSysTrayIcon(const QString& toolTip, QObject* parent = nullptr);
    ~ToviaSysTrayIcon() override;

signals:
    void sigToviaSysTrayIconTriggered(int index);

private:
    SysTrayMenu* m_pMenu;
};
