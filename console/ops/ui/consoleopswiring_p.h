#pragma once

#include "clientnetoperobj.h"
#include "consoleopsservice.h"
#include "consoleopswiring.h"
#include "devgroupstore.h"
#include "groupcontrolwnd.h"
#include "groupoperchecks.h"
#include "simurecords.h"

#include <QHash>
#include <QObject>
#include <QPointer>

class MyDrawerEx;
class RemoteDesktopWnd;
class SentOperLedger;
class TaskResultRcver;
class VedioBoxDrawer;
struct struVedioBoxInfo;

// Owned by the main window; lives on the GUI thread.
class ConsoleOpsWiring : public QObject
{
    Q_OBJECT
public:
    ConsoleOpsWiring(CenterToolMainWnd& wnd, const ConsoleOpsOptions& options);

    TaskResultRcver* resultRcver() const { return m_pRcver; }
    ConsoleOpsService* opsService() const { return m_pOps; }
    // The PC's command client; null until its first operation.
    ClientNetOperObj* client(const QString& pcName) const { return m_pOps->client(pcName); }
    int clientCount() const { return m_pOps->clientCount(); }
    SentOperLedger* ledger() const { return m_pLedger.get(); }
    DevGroupStore* groupStore() const { return m_pGroups; }
    // The operations' questions and result boxes.
    OpsDialogs& dialogs() const { return *m_options.dialogs; }
    // The device list as the operations' checks see it.
    OpsDeviceSnapshot snapshot() const;
    // A tile's double click: the viewer of the tile's PC at its current address, opened or, when the
    // drawer holds one already, raised. Null when the PC is not listed.
    RemoteDesktopWnd* openRemoteDesktop(VedioBoxDrawer* pTiles, const struVedioBoxInfo& info);
    // "群控" of the emulator menu: the group control window over the ticked emulators of every PC
    // (the refusal of the other entries when none is ticked). One window at a time: while it is open
    // it is raised instead. Null when refused.
    GroupControlWnd* openGroupControl();
    GroupControlWnd* groupControlWnd() const { return m_pGroupWnd; }
    // A checked operation for one PC, to the operations service (ConsoleOpsService::submit).
    void send(const OpsPcSend& s);

signals:
    // What became of the operations, for the results ledger: handed to the PC's command client,
    // delivered to the agent or not (iRet), an install's transfer progress.
    void sigOperSent(QString strPcName, int iOperType, QStringList strMemuIdxList, QString strArg);
    void sigOperDelivered(QString strPcName, int iOperType, QStringList strMemuIdxList, int iRet);
    void sigInstallProgress(QString strPcName, QString strMemuIdx, int iProgress);

public slots:
    // A menu entry picked on the window: its checks and questions, then one submit per PC.
    void slOperationChosen(int index);
    void slPcListed(QString strPcName);

protected:
    // The group menu on a PC's title row.
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    void startResultRcver();
    bool takeReport(const QString& peer, const struSimuOper& oper) const;
    void startOpsService();
    void connectGroups();
    void syncGroups();
    void placeInGroup(const QString& pcName);
    // "新建模拟器" of the PC's title menu.
    void createSimus(const QString& pcName);
    void closeGroupControl();

    CenterToolMainWnd& m_wnd;
    ConsoleOpsOptions m_options;
    TaskResultRcver* m_pRcver = nullptr;
    DevGroupStore* m_pGroups = nullptr;
    std::shared_ptr<SentOperLedger> m_pLedger;
    ConsoleOpsService* m_pOps = nullptr;
    bool m_bGroupCapLogged = false;
    QHash<QObject*, QPointer<MyDrawerEx>> m_titles; // title row -> its PC
    QPointer<GroupControlWnd> m_pGroupWnd;
    QPointer<GroupControlService> m_pGroupRun;
};
