#pragma once

#include "agentcontroller.h"
#include "autologinmgr.h"
#include "commresult.h"
#include "loginobj.h"
#include "maindlgui.h"

#include <QSystemTrayIcon>

class MainDlgObj;
class ToviaSysTrayIcon;

// The agent window: binds its widgets to the agent's controller (which owns the worker threads),
// saves the settings and binds the PC to an account.
class MainWnd : public MainDlgUI
{
    Q_OBJECT
public:
    // Ports and intervals of the workers; tests use free ports and short ticks.
    struct Options
    {
        quint16 udpPort = AgentController::Options().udpPort;
        quint16 tcpPort = AgentController::Options().tcpPort;
        int uiTickMs = AgentController::Options().uiTickMs;
        struNotifierOptions notifier;
        int holdLimitMs = AgentController::Options().holdLimitMs;
        bool autoLogin = true;
        struLoginTimings loginTimings;
        // A failed automatic login is tried again after this long.
        int autoLoginRetryMs = AutoLoginMgr::kRetryMs;
    };

    explicit MainWnd(const Options& options, QWidget* parent = nullptr);
    explicit MainWnd(QWidget* parent = nullptr) : MainWnd(Options(), parent) {}
    ~MainWnd() override;

    // Start-up after construction: log clean-up, tray, workers, stored login, inventory scan.
    void initWnd();
    // Asks for the inventory scan (every instance's stored record from the inventory and the running
    // list). It runs on a worker thread; sigInventoryScanned with the returned number tells when its
    // records are stored.
    int initIniData();
    // What follows a successful login: PC name, start line, mode announcement, watchdog start.
    void afterLogin();
    // Save-button checks in order; the first failure is returned. On success typeChanged tells
    // whether the emulator type changes with this save (the lists are emptied then).
    CCommResult validateSave(bool& typeChanged);
    // Quits the workers in order, ends a running video encoder and stops the adb server.
    void shutdown();

    MainDlgObj* mainDlgObj() const { return m_pController->mainDlgObj(); }
    AgentController* controller() const { return m_pController; }
    AutoLoginMgr* autoLogin() const { return m_pAutoLogin; }

signals:
    void sigBeginDaemon();
    void sigInventoryScanned(int iScanId);

public slots:
    void slOpenFildDlg();
    bool slSave(bool typeChanged = false);
    void slSaveClicked();
    void slLogin();
    void slLogout();
    void slAccountClicked();
    void slClosedFromTitle();
    void slShowDaemoning();
    void slUpdateConnectState(QString state);
    void slAppendLog(QString str, int iIsForce);
    void TrayIconAction(QSystemTrayIcon::ActivationReason reason);
    void slSysTrayActived();
    void slSysTrayMenuTriggered(int index);
    void slSimuTypeCbbChangedIdx(int idx);
    void slInventoryScanned(int iScanId);

protected:
    void closeEvent(QCloseEvent* event) override;
    // Esc would reject the dialog and so end the agent: it does nothing here.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void fillFromSettings();
    void saveTrust();
    void connectWidgets();
    void bindController();
    QString typeText() const;
    void restoreLogin();
    bool runLoginDialog();
    // Binds the PC to a login that succeeded: the process-wide record and the account button.
    void bindLogin(const CLoginRet& loginRet);
    void slAutoSignedIn(const CLoginRet& loginRet);
    void slAutoLoginFailed(int iRet, const QString& str, int iRetryInMs);

    Options m_options;
    ToviaSysTrayIcon* m_pTrayIcon = nullptr;
    AgentController* m_pController = nullptr;
    AutoLoginMgr* m_pAutoLogin = nullptr;
    int m_iAnnounceAfterScan = 0; // the scan after a login, which the start announcement follows
    int m_iStartScanId = 0;       // the start-up scan
    bool m_bStartScanDone = false;
};
