#pragma once

#include "centertoolmaindlgui.h"
#include "commresult.h"
#include "consoletypes.h"
#include "ports.h"

#include <QElapsedTimer>
#include <QImage>
#include <QPointer>
#include <QSet>
#include <QSystemTrayIcon>
#include <functional>
#include <optional>

class DeviceFilter;
class MyDrawerEx;
class PcOnOfflineChecker;
class QLayout;
class QThread;
class QTimer;
class ToviaSysTrayIcon;
class UdpSenderObj;
class VedioBoxDrawer;

// The console's main window and controller. initWnd() starts the discovery worker and the online
// checker, each on a thread of its own, and folds what they report into the registry, the device
// list and the tiles. The operations, the result receiver and the remote-desktop window plug in
// through the signals sigPcListed, sigOperationChosen and sigClosing (consoleopswiring.h).
class CenterToolMainWnd : public CenterToolMainDlgUI
{
    Q_OBJECT
public:
    struct Options
    {
        quint16 queryPort = Tovia::kDiscoveryPort;
        int queryTickMs = 1000;
        int checkIntervalMs = 1000;
        QList<QHostAddress> targets; // empty: the setting discovery/targets or the defaults
        AgentRegistry::Clock clock;  // empty: the system clock
        // Empty: the settings console/maxPcs and discovery/repinSecs, or the defaults.
        std::optional<AgentRegistry::Limits> limits;
        bool trayIcon = true;
        int discoveryBufferBytes = 0; // receive buffer of the discovery socket; 0: the worker's default
    };
    static AgentRegistry::Limits limitsFromSettings();

    explicit CenterToolMainWnd(const Options& options, QWidget* parent = nullptr);
    explicit CenterToolMainWnd(QWidget* parent = nullptr) : CenterToolMainWnd(Options(), parent) {}
    ~CenterToolMainWnd() override;

    void initWnd();
    int exitByLogout() const { return m_iExitByLogout; }
    std::shared_ptr<AgentRegistry> registry() const { return m_pRegistry; }
    UdpSenderObj* udpSenderObj() const { return m_pUdpSenderObj; }
    PcOnOfflineChecker* pcOnOfflineChecker() const { return m_pPcOnOfflineChecker; }
    ToviaSysTrayIcon* trayIcon() const { return m_pTrayIcon; }
    DeviceFilter* deviceFilter() const { return m_pFilter; }

    // Moves a worker to a new thread of the window's; the thread's start runs startSlot (SLOT()),
    // its end deletes both; the window quits and waits for it when it closes.
    QThread* startWorker(QObject* worker, const char* startSlot, const QString& failText);
    // Ends every remote-desktop window and worker thread (also run by the destructor).
    void shutdown();

    // The GUI thread's time spent applying state reports (benchmarks).
    qint64 reportApplyNs() const { return m_reportApplyNs; }
    qint64 reportsApplied() const { return m_reportsApplied; }

signals:
    // A tile was double-clicked: the remote-desktop code opens its window for that emulator.
    void sigRemoteDesktopRequested(struVedioBoxInfo info);
    // A newly listed agent PC, once its list entry and tile drawer are in the window (findPc).
    void sigPcListed(QString strPcName);
    // A context-menu operation (0 start, 1 close, 2 install, 3 delete, 4 rename) on the ticked
    // emulators, which the registry lists (AgentRegistry::checkedPcs); the ticks are cleared after.
    void sigOperationChosen(int index);
    // The window closes: its viewers have been closed, its worker threads are ended next.
    void sigClosing();

public slots:
    void slOpenOfficial();
    void slCustom();
    void slPublic();
    void slHelp();
    void slCloseFromExitBtn();
    void slShowResult(CCommResult* pRet);
    void slNewPcInfoArrived(struPcInfoReply reply);
    void slPcNickNameSimuNameImageArrived(QString strPcNickName, QString strSimuName, QImage* pImage);
    void slPcNameMemuIdxImageArrived(QString strPcName, QString strMemuIdx, QImage* pImage);
    void slSetInstallState(QString strPcName, QString strMemuIdx, int iState, int iProgress);
    void slSetState(QString strPcName, QString strMemuIdx, int iState, int iTime);
    void slNewSimuStateArrived(QString strPcName, QString strMemuIdx, int iState);
    void slNewSimuStateParamArrived(QByteArray aryJson);
    void slDrawerCellMenuTriggered(int index);
    void slMainWndMsgHandler(QString strMsg, QString strParam, QString strParam2, int iParam, int iParam2,
                             QByteArray aryParam);
    void slSysTrayMenuTriggered(int index);
    void slSysTrayActived(QSystemTrayIcon::ActivationReason reason);
    void slSimuReportsArrived(SimuReportList reports);
    // States the operations show for their targets (busy, or put back after a failed delivery).
    void slSimuStatesArrived(QString strPcName, QStringList strMemuIdxList, int iState, int iTime);
    // The registry's notices: rows and tiles show what it holds now.
    void slSimusChanged(SimuChangeList changes);
    void slAllSimusChanged(int roles);

protected:
    void done(int result) override;

private slots:
    void slTurnOver();
    void slApplyPendingReports();

private:
    void startWorkers();
    void connectWidgets();
    void checkConnect(bool ok, const QString& failText) const;
    void showPendingPcs();
    void beginTurn(); // the turn timer runs from the first piece of work of a turn of the event loop
    QList<QLayout*> containerLayouts() const;
    // Returns the PC's emulators shown.
    int createPc(const QString& pcName);
    void applyPcChange(const struPcInfoChange& change);
    void applySimuState(const QString& pcName, const QString& memuIdx, int iState, int iTime,
                        int iDaemonModel);
    void markOffline(const QString& pcName);
    void applyReports(const SimuReportList& reports);
    // The row and the tile of the emulator as the registry has it; the tile is repainted when in sight.
    void showSimu(const struSimuRow& row, MyDrawerEx* pEntry, VedioBoxDrawer* pTiles, const QRect& inSight);
    QRect tilesInSight() const;
    void setPictureOf(const QString& pcName, const QString& memuIdx, const QImage& image);
    void setTicked(const QString& pcName, const QString& memuIdx, bool bChecked);
    void clearAllTicks();
    void openLink(const QString& key, const QString& defaultUrl);
    void updateEmptyText();

    Options m_options;
    int m_iExitByLogout = 0;
    UdpSenderObj* m_pUdpSenderObj = nullptr;
    PcOnOfflineChecker* m_pPcOnOfflineChecker = nullptr;
    QList<QPointer<QThread>> m_threads;
    ToviaSysTrayIcon* m_pTrayIcon = nullptr;
    DeviceFilter* m_pFilter = nullptr;
    bool m_bShutDown = false;
    QStringList m_pendingPcs; // listed, not shown yet, in the order they were heard
    QSet<QString> m_pendingSet;
    QElapsedTimer m_turnClock;  // time spent showing PCs in this turn of the event loop
    int m_iShownThisTurn = 0;   // PCs and their emulators shown in this turn
    int m_iReportsThisTurn = 0; // states applied in this turn
    QTimer* m_pTurnTimer = nullptr;
    SimuReportList m_pendingReports; // state reports not applied yet, in arrival order
    QTimer* m_pReportTimer = nullptr;
    qint64 m_reportApplyNs = 0;
    qint64 m_reportsApplied = 0;
};
