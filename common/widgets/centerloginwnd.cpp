#include "centerloginwnd.h"

#include "logintitle.h"
#include "systrayicon.h"

#include <QCheckBox>
#include <QDebug>
#include <QIcon>
#include <QKeyEvent>

CenterLoginWnd::CenterLoginWnd(QWidget* parent, const struLoginTimings& timings) : LoginUI(parent, timings)
{
    // A console started while the account service is down signs in as soon as it is back.
    setAutoLoginRetry(true);
}

// Closing this window ends the console: only its close button and the tray's entry do that, never
// Esc.
void CenterLoginWnd::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    LoginUI::keyPressEvent(event);
}

void CenterLoginWnd::setBkgStyle()
{
    setObjectName(QStringLiteral("CenterLoginWndThis"));
    setStyleSheet(QStringLiteral(
        "CenterLoginWnd#CenterLoginWndThis{background-image:url(:/res/Login/CenterToolBkg.png);}"));
}

void CenterLoginWnd::setTitleAndIcon()
{
    setWindowTitle(QStringLiteral("Tovia-模拟器版"));
    setWindowIcon(QIcon(QStringLiteral(":/res/logo.ico")));
}

void CenterLoginWnd::createWidgets()
{
    LoginUI::createWidgets();
    // Light texts on the dark background.
    m_pTitle->setTextColor(QStringLiteral("white"));
    m_pCkbAutoLogin->setStyleSheet(QStringLiteral("QCheckBox{color:white;}"));
    m_pCkbRcdPwd->setStyleSheet(QStringLiteral("QCheckBox{color:white;}"));
    m_pTrayIcon = new ToviaSysTrayIcon(QStringLiteral("Tovia-模拟器版"), this);
    if (!connect(m_pTrayIcon, &QSystemTrayIcon::activated, this, &CenterLoginWnd::slSysTrayActived)) {
        qWarning() << "connect QSystemTrayIcon::activated CenterLoginWnd::slSysTrayActived err";
    }
    if (!connect(m_pTrayIcon, &ToviaSysTrayIcon::sigToviaSysTrayIconTriggered, this,
                 &CenterLoginWnd::slSysTrayMenuTriggered)) {
        qWarning() << "connect ToviaSysTrayIcon::sigToviaSysTrayIconTriggered "
                      "CenterLoginWnd::slSysTrayMenuTriggered err";
    }
    m_pTrayIcon->show();
}

void CenterLoginWnd::slSysTrayActived(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
        bringBack();
    }
}

void CenterLoginWnd::slSysTrayMenuTriggered(int index)
{
    if (index == 0) {
        bringBack();
    } else if (index == 1) {
        close();
    }
}

void CenterLoginWnd::bringBack()
{
    showNormal();
    raise();
    activateWindow();
}
