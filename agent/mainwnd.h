#pragma once

#include "commresult.h"
#include "loginobj.h"
#include "maindlgui.h"

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QSystemTrayIcon>

class MainDlgObj;
class OperLoggerObj;
class QThread;
class ScreenshotPoolObj;
class SimuDaemonObj;
class SimuTcpRcvObj;
class ToviaSysTrayIcon;
class UdpRceiverObj;

// The agent window and the agent's controller: starts the six workers on their own threads and
// wires them, scans the inventory at start-up, saves the settings, binds the PC to an account and
// shuts everything down in order.
class MainWnd : public MainDlgUI
{
    Q_OBJECT
public:
    // Ports and intervals of the workers; tests use free ports and short ticks.
    struct Options
    {
        quint16 udpPort = 7777;
        quint16 tcpPort = 7778;
        int uiTickMs = 1000;
        bool autoLogin = true;
        struLoginTimings loginTimings;
    };

    explicit MainWnd(const Options& options, QWidget* parent = nullptr);
    explicit MainWnd(QWidget* parent = nullptr) : MainWnd(Options(), parent) {}
    ~MainWnd() override;

    // Start-up after construction: log clean-up, tray, workers, stored login, inventory scan.
    void initWnd();
    // The inventory scan: every instance's stored record from the inventory and the running list.
    void initIniData();
    // What follows a successful login: PC name, start line, mode announcement, watchdog start.
    void afterLogin();
    // Save-button checks in order; the first failure is returned. On success typeChanged tells
    // whether the emulator type changes with this save (the lists are emptied then).
    CCommResult validateSave(bool& typeChanged);
    // Quits the workers in order, ends a running video encoder and stops the adb server.
    void shutdown();

    MainDlgObj* mainDlgObj() const { return m_pMainDlgObj; }

signals:
    void sigAddSimuDaemon();
    void sigMsgParam(int iMsgType, int iParam, QString str, QByteArray aryParam);
    void sigBeginDaemon();

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

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void fillFromSettings();
    void connectWidgets();
    void startWorkers();
    // Moves the worker to a new thread whose start runs startSignature; the thread's end deletes both.
    QThread* startWorker(QObject* worker, const char* startSignature, const QString& failText,
                         Qt::ConnectionType type = Qt::AutoConnection);
    void checkConnect(bool ok, const QString& failText) const;
    void logOper(const QString& text);
    QString modeAnnouncement() const;
    void restoreLogin();
    bool runLoginDialog();

    Options m_options;
    ToviaSysTrayIcon* m_pTrayIcon = nullptr;
    UdpRceiverObj* m_pUdpRceiverObj = nullptr;
    SimuDaemonObj* m_pSimuDaemonObj = nullptr;
    SimuTcpRcvObj* m_pSimuTcpRcvObj = nullptr;
    MainDlgObj* m_pMainDlgObj = nullptr;
    ScreenshotPoolObj* m_pScreenshotPoolObj = nullptr;
    OperLoggerObj* m_pOperLoggerObj = nullptr;
    QList<QPointer<QThread>> m_threads; // in start order
    bool m_shutDown = false;
};
