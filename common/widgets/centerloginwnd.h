#pragma once

#include "loginui.h"

#include <QSystemTrayIcon>

class ToviaSysTrayIcon;

// The console's login window: its own title, background and a tray icon whose menu raises the
// window (entry 0) or closes it (entry 1). Both check boxes are always shown. Esc does not close
// it (closing it ends the console).
class CenterLoginWnd : public LoginUI
{
    Q_OBJECT
public:
    explicit CenterLoginWnd(QWidget* parent = nullptr, const struLoginTimings& timings = struLoginTimings());

    ToviaSysTrayIcon* trayIcon() const { return m_pTrayIcon; }

public slots:
    void slSysTrayActived(QSystemTrayIcon::ActivationReason reason);
    void slSysTrayMenuTriggered(int index);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void setBkgStyle() override;
    void setTitleAndIcon() override;
    void createWidgets() override;

private:
    void bringBack();

    ToviaSysTrayIcon* m_pTrayIcon = nullptr;
};
