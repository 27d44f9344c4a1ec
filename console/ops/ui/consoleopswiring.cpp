#include "consoleopswiring_p.h"

#include "agentregistry.h"
#include "centertoolmainwnd.h"
#include "clientnetoperobj.h"
#include "devgroupmenu.h"
#include "groupcontrolservice.h"
#include "groupcontrolwnd.h"
#include "grpdraweroper.h"
#include "mygrpdrawer.h"
#include "opercodes.h"
#include "remotedesktopwnd.h"
#include "sentoperledger.h"
#include "simusettings.h"
#include "taskresultrcver.h"
#include "udpsenderobj.h"
#include "vedioboxdrawer.h"
#include "widgetopsdialogs.h"

#include <QContextMenuEvent>
#include <QDebug>

namespace {

constexpr int kGroupEndWaitMs = 3000;

void checked(bool ok, const char* text)
{
    if (!ok)
        qWarning("%s", text);
}

} // namespace

ConsoleOpsWiring* attachConsoleOps(CenterToolMainWnd& wnd, const ConsoleOpsOptions& options)
{
    return new ConsoleOpsWiring(wnd, options);
}

ConsoleOpsWiring::ConsoleOpsWiring(CenterToolMainWnd& wnd, const ConsoleOpsOptions& options)
    : QObject(&wnd), m_wnd(wnd), m_options(options), m_pLedger(std::make_shared<SentOperLedger>())
{
    if (!m_options.dialogs)
        m_options.dialogs = std::make_shared<WidgetOpsDialogs>(&wnd);
    const QString groupFile =
        options.groupFile.isEmpty() ? DevGroupStore::FilePathIn(SimuSettings::dataDir()) : options.groupFile;
    m_pGroups = new DevGroupStore(groupFile, this);
    m_pGroups->SetMaxDevices(wnd.registry()->limits().maxPcs);
    const CCommResult loaded = m_pGroups->Load();
    if (!loaded.ok())
        qWarning().noquote() << "device groups:" << loaded.str << loaded.log;
    connectGroups();
    startResultRcver();
    startOpsService();
    checked(connect(&wnd, &CenterToolMainWnd::sigPcListed, this, &ConsoleOpsWiring::slPcListed),
            "connect CenterToolMainWnd::sigPcListed ConsoleOpsWiring::slPcListed err");
    checked(connect(&wnd, &CenterToolMainWnd::sigOperationChosen, this, &ConsoleOpsWiring::slOperationChosen),
            "connect CenterToolMainWnd::sigOperationChosen ConsoleOpsWiring::slOperationChosen err");
}

// The deliveries of every PC on one thread; what they show comes back to the window.
void ConsoleOpsWiring::startOpsService()
{
    ConsoleOpsService::Options o;
    o.agentPort = m_options.agentPort;
    m_pOps = new ConsoleOpsService(m_wnd.registry(), m_pLedger, o, this);
    CenterToolMainWnd* w = &m_wnd;
    checked(connect(m_pOps, &ConsoleOpsService::sigSimuStates, w, &CenterToolMainWnd::slSimuStatesArrived),
            "connect ConsoleOpsService::sigSimuStates CenterToolMainWnd::slSimuStatesArrived err");
    checked(connect(m_pOps, &ConsoleOpsService::sigInstallState, w, &CenterToolMainWnd::slSetInstallState),
            "connect ConsoleOpsService::sigInstallState CenterToolMainWnd::slSetInstallState err");
    checked(connect(m_pOps, &ConsoleOpsService::sigNetOperReplyResult, w, &CenterToolMainWnd::slShowResult),
            "connect ConsoleOpsService::sigNetOperReplyResult CenterToolMainWnd::slShowResult err");
    // What became of the operations, for whoever keeps their results.
    checked(connect(m_pOps, &ConsoleOpsService::sigOperDelivered, this, &ConsoleOpsWiring::sigOperDelivered),
            "connect ConsoleOpsService::sigOperDelivered ConsoleOpsWiring::sigOperDelivered err");
    checked(connect(m_pOps, &ConsoleOpsService::sigInstallState, this,
                    [this](const QString& pc, const QString& idx, int iState, int iProgress) {
                        if (iState == 1)
                            emit sigInstallProgress(pc, idx, iProgress);
                    }),
            "connect ConsoleOpsService::sigInstallState ConsoleOpsWiring::sigInstallProgress err");
    // An open viewer's end command is submitted when the window closes it, before this.
    checked(connect(w, &CenterToolMainWnd::sigClosing, m_pOps, [this] { m_pOps->stop(); }),
            "connect CenterToolMainWnd::sigClosing ConsoleOpsService::stop err");
    checked(connect(w, &CenterToolMainWnd::sigClosing, this, &ConsoleOpsWiring::closeGroupControl),
            "connect CenterToolMainWnd::sigClosing ConsoleOpsWiring::closeGroupControl err");
}

// The device list asks, the store keeps and confirms, the tiles follow the confirmed edits.
void ConsoleOpsWiring::connectGroups()
{
    MyGrpDrawer* pList = m_wnd.leftGrpDrawer();
    VedioBoxGrpDrawer* pTiles = m_wnd.rightGrpDrawer();
    syncGroups();
    checked(connect(pList, &MyGrpDrawer::sigMoveDev2NewGrp, m_pGroups, &DevGroupStore::slMoveDev2NewGrp),
            "connect SIGNAL(sigMoveDev2NewGrp) SLOT(slMoveDev2NewGrp) err");
    checked(connect(pList, &MyGrpDrawer::sigMoveDev2NewGrpNDeleteOldGrp, m_pGroups,
                    &DevGroupStore::slMoveDev2NewGrpNDeleteOldGrp),
            "connect SIGNAL(sigMoveDev2NewGrpNDeleteOldGrp) SLOT(slMoveDev2NewGrpNDeleteOldGrp) err");
    checked(connect(m_pGroups, &DevGroupStore::sigMoveDev2NewGrpFinished, pList,
                    &MyGrpDrawer::slMoveDev2NewGrpFinished),
            "connect SIGNAL(sigMoveDev2NewGrpFinished) SLOT(slMoveDev2NewGrpFinished) err");
    checked(
        connect(m_pGroups, &DevGroupStore::sigDeleteGrpFinished, pList, &MyGrpDrawer::slDeleteGrpFinished),
        "connect SIGNAL(sigDeleteGrpFinished) SLOT(slDeleteGrpFinished) err");
    checked(connect(pList, &MyGrpDrawer::sigGrpDeleted, pTiles, &VedioBoxGrpDrawer::slDeleteGroup),
            "connect SIGNAL(sigGrpDeleted) SLOT(slDeleteGroup) err");
    checked(connect(pList, &MyGrpDrawer::sigDevMovedToNewGrp, pTiles, &VedioBoxGrpDrawer::slMoveDevToNewGrp),
            "connect SIGNAL(sigDevMovedToNewGrp) SLOT(slMoveDevToNewGrp) err");
    checked(connect(m_pGroups, &DevGroupStore::sigGroupsChanged, this, &ConsoleOpsWiring::syncGroups),
            "connect SIGNAL(sigGroupsChanged) SLOT(syncGroups) err");
}

// Groups made since (a new group has no drawer yet), in the store's order on both sides.
void ConsoleOpsWiring::syncGroups()
{
    QStringList names;
    for (const DevGroupStore::Group& g : m_pGroups->Groups()) {
        m_wnd.leftGrpDrawer()->addGroup(g.id, g.name);
        names.append(g.name);
    }
    m_wnd.rightGrpDrawer()->setGroupOrder(names);
}

// A report is taken from the address its PC is heard at, for an operation this console sent it.
bool ConsoleOpsWiring::takeReport(const QString& peer, const struSimuOper& oper) const
{
    const QHostAddress from(peer);
    const AgentRegistry& reg = *m_wnd.registry();
    const bool fromThePc = from.isEqual(reg.replyAddress(oper.rmtPcName), QHostAddress::TolerantConversion) ||
                           from == QHostAddress(reg.connectAddress(oper.rmtPcName));
    return fromThePc && m_pLedger->take(oper.rmtPcName, oper.memuIdx, oper.iOperType, oper.iTime);
}

void ConsoleOpsWiring::startResultRcver()
{
    m_pRcver = new TaskResultRcver(m_options.resultPort);
    // Called on the receiver's thread: the registry and the ledger take their locks.
    m_pRcver->SetReportFilter(
        [this](const QString& peer, const struSimuOper& oper) { return takeReport(peer, oper); });
    CenterToolMainWnd* w = &m_wnd;
    checked(connect(m_pRcver, &TaskResultRcver::sigSetState, w, &CenterToolMainWnd::slSetState),
            "connect SIGNAL(sigSetState) SLOT(slSetState) err");
    checked(connect(m_pRcver, &TaskResultRcver::sigTskRstRcverImageArrived, w,
                    &CenterToolMainWnd::slPcNameMemuIdxImageArrived),
            "connect SIGNAL(sigTskRstRcverImageArrived) SLOT(slPcNameMemuIdxImageArrived) err");
    checked(connect(m_pRcver, &TaskResultRcver::sigInstallState, w, &CenterToolMainWnd::slSetInstallState),
            "connect SIGNAL(sigInstallState) SLOT(slSetInstallState) err");
    checked(connect(m_pRcver, &TaskResultRcver::sigTaskResultReply, w, &CenterToolMainWnd::slShowResult),
            "connect SIGNAL(sigTaskResultReply) SLOT(slShowResult) err");
    // A report of a PC that could not be read: ask the agents for their states soon (at most once a
    // second however many come), so that no emulator keeps showing the busy state its lost report
    // would have ended. Junk from an address no PC is heard at asks for nothing.
    checked(
        connect(m_pRcver, &TaskResultRcver::sigReportUnreadable, w,
                [w](QString peer) {
                    if (!w->registry()->isPcAddress(QHostAddress(peer)))
                        return;
                    qWarning().noquote() << "unreadable result report from" << peer << ": states asked for";
                    if (UdpSenderObj* pUdp = w->udpSenderObj())
                        QMetaObject::invokeMethod(pUdp, &UdpSenderObj::slRefreshStates, Qt::QueuedConnection);
                }),
        "connect SIGNAL(sigReportUnreadable) SLOT(UdpSenderObj::slRefreshStates) err");
    m_wnd.startWorker(m_pRcver, SLOT(slInitSocket()),
                      QStringLiteral("connect QThread::started TaskResultRcver::slInitSocket err"));
}

// A PC newly listed: its group, its title row's group menu, its tiles' remote desktop. Its command
// client comes with its first operation.
void ConsoleOpsWiring::slPcListed(QString strPcName)
{
    MyDrawerEx* pPc = m_wnd.leftGrpDrawer()->findPc(strPcName);
    VedioBoxDrawer* pTiles = m_wnd.rightGrpDrawer()->findPc(strPcName);
    if (!pPc || !pTiles)
        return;
    checked(connect(pTiles, &VedioBoxDrawer::sigRemoteDesktopRequested, this,
                    [this, pTiles](const struVedioBoxInfo& info) { openRemoteDesktop(pTiles, info); }),
            "connect SIGNAL(sigRemoteDesktopRequested) SLOT(openRemoteDesktop) err");
    placeInGroup(strPcName);
    m_titles.insert(pPc->titleCell(), pPc);
    pPc->titleCell()->installEventFilter(this);
}

// A PC heard for the first time is kept in the default group; a known one is shown in its group.
void ConsoleOpsWiring::placeInGroup(const QString& pcName)
{
    const CCommResult added = m_pGroups->AddDevice(pcName);
    if (!added.ok() && (added.iRet != OpsCode::GroupStoreFailed || !m_bGroupCapLogged))
        qWarning().noquote() << "device groups:" << added.str << added.log;
    m_bGroupCapLogged = m_bGroupCapLogged || added.iRet == OpsCode::GroupStoreFailed;
    const QString group = m_pGroups->GroupOf(pcName);
    m_wnd.leftGrpDrawer()->placePc(pcName, group);
    m_wnd.rightGrpDrawer()->placePc(pcName, group);
}

// The begin command goes out only once the viewer's stream port is bound; the end command when the
// viewer has closed, and the drawer lets go of it then (deleteLater).
RemoteDesktopWnd* ConsoleOpsWiring::openRemoteDesktop(VedioBoxDrawer* pTiles, const struVedioBoxInfo& info)
{
    if (auto* pOpen = qobject_cast<RemoteDesktopWnd*>(pTiles->remoteDesktopDlg())) {
        pOpen->showNormal();
        pOpen->raise();
        pOpen->activateWindow();
        return pOpen;
    }
    const QString pcName = pTiles->pcName();
    if (!m_wnd.registry()->contains(pcName)) {
        qWarning().noquote() << "remote desktop of" << pcName << "asked for, but it is not listed";
        return nullptr;
    }
    struRmtDsktpTarget target;
    target.strAddr = m_wnd.registry()->connectAddress(pTiles->pcName());
    target.strName = info.strSimuName;
    target.strIdx = info.strMemuIdx;
    target.strTitle = info.strPcNickName;
    // The stream port is chosen by the viewer's decoder thread: the window opens at once.
    auto* pWnd = new RemoteDesktopWnd(target);
    checked(connect(pWnd, &RemoteDesktopWnd::sigBeginRmtDsktp, this,
                    [this, pcName](int iPort, const QString& runId) {
                        m_pOps->submit({pcName,
                                        eOperRmtDesktopBegin,
                                        {ClientNetOperObj::RemoteDesktopBeginMarker()},
                                        QString(),
                                        iPort,
                                        runId});
                    }),
            "connect SIGNAL(sigBeginRmtDsktp) ConsoleOpsService::submit err");
    checked(
        connect(
            pWnd, &RemoteDesktopWnd::sigRemoteDesktopWndClosed, this,
            [this, pcName] {
                m_pOps->submit({pcName, eOperRmtDesktopEnd, {ClientNetOperObj::RemoteDesktopEndMarker()}});
            }),
        "connect SIGNAL(sigRemoteDesktopWndClosed) ConsoleOpsService::submit err");
    connect(pWnd, &RemoteDesktopWnd::sigRemoteDesktopWndClosed, pTiles,
            &VedioBoxDrawer::slReleaseRemoteDesktopDlg);
    pTiles->setRemoteDesktopDlg(pWnd);
    qInfo().noquote() << "remote desktop of" << pTiles->pcName() << "at" << target.strAddr;
    pWnd->initWnd();
    pWnd->show();
    return pWnd;
}

// The PC's title menu: create, tick by state, then its groups.
bool ConsoleOpsWiring::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    QPointer<MyDrawerEx> pPc = m_titles.value(pWatched);
    if (pEvent->type() != QEvent::ContextMenu || !pPc)
        return QObject::eventFilter(pWatched, pEvent);
    const QString pcName = pPc->pcName();
    DevGroupMenu menu(m_pGroups, m_wnd.leftGrpDrawer(), *m_options.dialogs, {pcName});
    QAction* pGroups = menu.actions().value(0);
    auto* pCreate = new QAction(OpsMenu::createText(), &menu);
    menu.insertAction(pGroups, pCreate);
    connect(pCreate, &QAction::triggered, this, [this, pcName] { createSimus(pcName); });
    TickByState::insertEntries(&menu, pGroups, [pPc](int iState) {
        if (pPc)
            pPc->checkByState(iState);
    });
    menu.insertSeparator(pGroups);
    menu.exec(static_cast<QContextMenuEvent*>(pEvent)->globalPos());
    return true;
}

void ConsoleOpsWiring::createSimus(const QString& pcName)
{
    GroupOperDispatch::create(
        pcName, [this] { return snapshot(); }, *m_options.dialogs, [this](const OpsPcSend& s) { send(s); });
}

OpsDeviceSnapshot ConsoleOpsWiring::snapshot() const
{
    OpsDeviceSnapshot snap;
    for (const struPcEntry& pc : m_wnd.registry()->snapshot()) {
        OpsPcEntry e;
        e.pcKey = pc.pcName;
        e.pcName = pc.pcName; // the texts name the PC by its computer name
        e.nickName = pc.nickName.isEmpty() ? pc.pcName : pc.nickName;
        e.bOnline = !pc.isOffline();
        e.iRunLimit = pc.iRunLimit;
        e.iSimuType = pc.iSimuType;
        for (const struSimuRow& r : pc.rows)
            e.rows.append(OpsSimuRow{r.memuIdx, r.simuName, r.iState, r.bChecked});
        snap.append(e);
    }
    return snap;
}

void ConsoleOpsWiring::slOperationChosen(int index)
{
    if (index == eMenuGroupControl) {
        openGroupControl();
        return;
    }
    GroupOperDispatch::run(
        index, [this] { return snapshot(); }, *m_options.dialogs, [this](const OpsPcSend& s) { send(s); });
}

// An install's or rename's argument stays in the PC's field as well (MyDrawerEx::argument).
void ConsoleOpsWiring::send(const OpsPcSend& s)
{
    if (s.iOperType == eOperInstall || s.iOperType == eOperRename)
        m_wnd.registry()->setArgument(s.pcKey, s.strArg);
    if (m_pOps->submit(s))
        emit sigOperSent(s.pcKey, s.iOperType, s.memuIdxs, s.strArg);
}

GroupControlWnd* ConsoleOpsWiring::openGroupControl()
{
    if (m_pGroupWnd) {
        m_pGroupWnd->showNormal();
        m_pGroupWnd->raise();
        m_pGroupWnd->activateWindow();
        return m_pGroupWnd;
    }
    const OpsDeviceSnapshot snap = snapshot();
    QList<GroupMember> members;
    for (const OpsPcEntry& pc : snap) {
        for (const OpsSimuRow& r : pc.rows) {
            if (r.bChecked)
                members.append(GroupMember{pc.pcKey, pc.nickName, r.memuIdx, r.simuName});
        }
    }
    if (members.isEmpty()) {
        m_options.dialogs->showResult(OpsCode::nothingTicked());
        return nullptr;
    }
    GroupControlService::Options o;
    o.agentPort = m_options.agentPort;
    auto* pRun = new GroupControlService(m_wnd.registry(), members, o, this);
    // The run outlives its window until every agent has been told it ended.
    connect(pRun, &GroupControlService::sigEnded, pRun, &QObject::deleteLater);
    std::shared_ptr<OpsDialogs> dialogs = m_options.dialogs;
    auto* pWnd =
        new GroupControlWnd(pRun, m_wnd.registry(), [dialogs](const QString& title, const QString& text) {
            return dialogs->confirm(title, text);
        });
    m_pGroupWnd = pWnd;
    m_pGroupRun = pRun;
    qInfo().noquote() << "group run" << pRun->runId() << "of" << members.size() << "emulators";
    pRun->start();
    pWnd->show();
    return pWnd;
}

// The console is closing: the window goes without its question, the agents are told, briefly waited for.
void ConsoleOpsWiring::closeGroupControl()
{
    if (m_pGroupWnd)
        m_pGroupWnd->closeWithoutAsking();
    if (m_pGroupRun && !m_pGroupRun->endAndWait(kGroupEndWaitMs))
        qWarning("the group run's end did not reach every agent within %d ms", kGroupEndWaitMs);
}
