#include "centertoolmainwnd.h"

#include "devicefilter.h"
#include "jsoncodec.h"
#include "loginret.h"
#include "mygrpdrawer.h"
#include "opercodes.h"
#include "pconofflinechecker.h"
#include "resultdisplay.h"
#include "simusettings.h"
#include "systrayicon.h"
#include "udpsenderobj.h"
#include "vedioboxdrawer.h"
#include "workerthread.h"

#include <QBuffer>
#include <QDateTime>
#include <QDebug>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QLayout>
#include <QLineEdit>
#include <QMetaMethod>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QUrl>

namespace {
constexpr int kThreadQuitWaitMs = 5000;
constexpr int kShowBudgetMs = 10; // rows and tiles made per turn of the event loop, at most this long
// However slow the machine, this many emulators' rows and tiles per turn: a small LAN is shown at once,
// a large one a PC or two per turn.
constexpr int kRowsPerTurnAtLeast = 64;
constexpr int kReportsPerTurn = 2048; // state reports applied per turn of the event loop
} // namespace

CenterToolMainWnd::CenterToolMainWnd(const Options& options, QWidget* parent)
    : CenterToolMainDlgUI(
          std::make_shared<AgentRegistry>(options.clock, options.limits.value_or(limitsFromSettings())),
          parent),
      m_options(options)
{
    ConsoleTypes::registerMetaTypes();
    m_pReportTimer = new QTimer(this);
    m_pReportTimer->setSingleShot(true);
    m_pReportTimer->setInterval(0);
    checkConnect(connect(m_pReportTimer, &QTimer::timeout, this, &CenterToolMainWnd::slApplyPendingReports),
                 QStringLiteral("connect QTimer::timeout CenterToolMainWnd::slApplyPendingReports err"));
    m_pTurnTimer = new QTimer(this);
    m_pTurnTimer->setSingleShot(true);
    m_pTurnTimer->setInterval(0);
    checkConnect(connect(m_pTurnTimer, &QTimer::timeout, this, &CenterToolMainWnd::slTurnOver),
                 QStringLiteral("connect QTimer::timeout CenterToolMainWnd::slTurnOver err"));
    m_pFilter = new DeviceFilter(m_pLeftGrpDrawer, m_pRightGrpDrawer, this);
    checkConnect(connect(filterEdit(), &QLineEdit::textChanged, m_pFilter, &DeviceFilter::slSetText),
                 QStringLiteral("connect QLineEdit::textChanged DeviceFilter::slSetText err"));
    checkConnect(connect(m_pFilter, &DeviceFilter::sigApplied, this, &CenterToolMainWnd::updateEmptyText),
                 QStringLiteral("connect DeviceFilter::sigApplied CenterToolMainWnd::updateEmptyText err"));
    checkConnect(
        connect(m_pRegistry.get(), &AgentRegistry::sigSimusChanged, this, &CenterToolMainWnd::slSimusChanged),
        QStringLiteral("connect AgentRegistry::sigSimusChanged CenterToolMainWnd::slSimusChanged err"));
    checkConnect(
        connect(m_pRegistry.get(), &AgentRegistry::sigAllSimusChanged, this,
                &CenterToolMainWnd::slAllSimusChanged),
        QStringLiteral("connect AgentRegistry::sigAllSimusChanged CenterToolMainWnd::slAllSimusChanged err"));
}

AgentRegistry::Limits CenterToolMainWnd::limitsFromSettings()
{
    AgentRegistry::Limits limits;
    limits.maxPcs = qMax(1, SimuSettings::value(QStringLiteral("console/maxPcs"), limits.maxPcs).toInt());
    limits.repinSecs =
        qMax(10, SimuSettings::value(QStringLiteral("discovery/repinSecs"), limits.repinSecs).toInt());
    return limits;
}

CenterToolMainWnd::~CenterToolMainWnd()
{
    shutdown();
}

void CenterToolMainWnd::initWnd()
{
    setWelcome(LoginRecord::current().strNickName);
    connectWidgets();
    m_pLeftGrpDrawer->showPlaceholder();
    m_pRightGrpDrawer->resize(100, 30);
    updateEmptyText();
    if (m_options.trayIcon) {
        m_pTrayIcon = new ToviaSysTrayIcon(QStringLiteral("Tovia-模拟器版"), this);
        checkConnect(
            connect(m_pTrayIcon, &QSystemTrayIcon::activated, this, &CenterToolMainWnd::slSysTrayActived),
            QStringLiteral("connect QSystemTrayIcon::activated CenterToolMainWnd::slSysTrayActived err"));
        checkConnect(connect(m_pTrayIcon, &ToviaSysTrayIcon::sigToviaSysTrayIconTriggered, this,
                             &CenterToolMainWnd::slSysTrayMenuTriggered),
                     QStringLiteral("connect ToviaSysTrayIcon::sigToviaSysTrayIconTriggered "
                                    "CenterToolMainWnd::slSysTrayMenuTriggered err"));
        if (QSystemTrayIcon::isSystemTrayAvailable())
            m_pTrayIcon->show();
    }
    startWorkers();
}

void CenterToolMainWnd::checkConnect(bool ok, const QString& failText) const
{
    if (!ok)
        qWarning().noquote() << failText;
}

QThread* CenterToolMainWnd::startWorker(QObject* worker, const char* startSlot, const QString& failText)
{
    QThread* thread = newWorkerThread(worker, startSlot, failText);
    m_threads.append(thread);
    thread->start(QThread::InheritPriority);
    return thread;
}

void CenterToolMainWnd::startWorkers()
{
    UdpSenderObj::Options udp;
    udp.queryPort = m_options.queryPort;
    udp.tickMs = m_options.queryTickMs;
    udp.targets = m_options.targets;
    if (m_options.discoveryBufferBytes > 0)
        udp.receiveBufferBytes = m_options.discoveryBufferBytes;
    m_pUdpSenderObj = new UdpSenderObj(m_pRegistry, udp);
    checkConnect(connect(m_pUdpSenderObj, &UdpSenderObj::sigNewSimusArrived, this,
                         &CenterToolMainWnd::slNewPcInfoArrived),
                 QStringLiteral("connect SIGNAL(sigNewSimusArrived(struPcInfoReply)) "
                                "SLOT(slNewPcInfoArrived(struPcInfoReply)) err"));
    checkConnect(connect(m_pUdpSenderObj, &UdpSenderObj::sigSimuReportsArrived, this,
                         &CenterToolMainWnd::slSimuReportsArrived),
                 QStringLiteral("connect SIGNAL(sigSimuReportsArrived(SimuReportList)) "
                                "SLOT(slSimuReportsArrived(SimuReportList)) err"));
    checkConnect(connect(refreshBtn(), &QPushButton::clicked, m_pUdpSenderObj, &UdpSenderObj::slBroadCast),
                 QStringLiteral("connect 刷新设备 UdpSenderObj::slBroadCast err"));
    startWorker(m_pUdpSenderObj, SLOT(slInitSocket()),
                QStringLiteral("connect QThread::started UdpSenderObj::slInitSocket err"));

    m_pPcOnOfflineChecker = new PcOnOfflineChecker(m_pRegistry, m_options.checkIntervalMs);
    checkConnect(connect(m_pPcOnOfflineChecker, &PcOnOfflineChecker::sigPcOnOfflineCheckerMsgHandler, this,
                         &CenterToolMainWnd::slMainWndMsgHandler),
                 QStringLiteral("connect PcOnOfflineChecker::sigPcOnOfflineCheckerMsgHandler "
                                "CenterToolMainWnd::slMainWndMsgHandler err"));
    startWorker(m_pPcOnOfflineChecker, SLOT(slPcCheckerInit()),
                QStringLiteral("connect QThread::started PcOnOfflineChecker::slPcCheckerInit err"));
}

void CenterToolMainWnd::connectWidgets()
{
    checkConnect(connect(exitBtn(), &QPushButton::clicked, this, &CenterToolMainWnd::slCloseFromExitBtn),
                 QStringLiteral("connect 退出 CenterToolMainWnd::slCloseFromExitBtn err"));
    checkConnect(connect(officialBtn(), &QPushButton::clicked, this, &CenterToolMainWnd::slOpenOfficial),
                 QStringLiteral("connect 官网 CenterToolMainWnd::slOpenOfficial err"));
    checkConnect(connect(customBtn(), &QPushButton::clicked, this, &CenterToolMainWnd::slCustom),
                 QStringLiteral("connect 客服 CenterToolMainWnd::slCustom err"));
    checkConnect(connect(publicBtn(), &QPushButton::clicked, this, &CenterToolMainWnd::slPublic),
                 QStringLiteral("connect 公众号 CenterToolMainWnd::slPublic err"));
    checkConnect(connect(helpBtn(), &QPushButton::clicked, this, &CenterToolMainWnd::slHelp),
                 QStringLiteral("connect 帮助 CenterToolMainWnd::slHelp err"));
    checkConnect(connect(m_pLeftGrpDrawer, &MyGrpDrawer::sigDrawerCellMenuTriggered, this,
                         &CenterToolMainWnd::slDrawerCellMenuTriggered),
                 QStringLiteral("connect MyGrpDrawer::sigDrawerCellMenuTriggered "
                                "CenterToolMainWnd::slDrawerCellMenuTriggered err"));
}

void CenterToolMainWnd::shutdown()
{
    if (m_bShutDown)
        return;
    m_bShutDown = true;
    // An open viewer is closed first, so that its end command is queued to its PC's client before
    // the client's thread is asked to quit.
    for (VedioBoxDrawer* d : m_pRightGrpDrawer->pcDrawers()) {
        if (QWidget* pViewer = d->remoteDesktopDlg())
            pViewer->close();
        d->slReleaseRemoteDesktopDlg();
    }
    emit sigClosing();
    for (const QPointer<QThread>& t : qAsConst(m_threads)) {
        if (!t)
            continue;
        t->quit();
        if (!t->wait(kThreadQuitWaitMs))
            qWarning("a console worker thread did not end within %d ms", kThreadQuitWaitMs);
    }
    m_threads.clear();
    m_pUdpSenderObj = nullptr;
    m_pPcOnOfflineChecker = nullptr;
}

void CenterToolMainWnd::done(int result)
{
    shutdown();
    CenterToolMainDlgUI::done(result);
}

void CenterToolMainWnd::openLink(const QString& key, const QString& defaultUrl)
{
    const QString url = SimuSettings::value(key, defaultUrl).toString();
    if (!QDesktopServices::openUrl(QUrl(url)))
        qWarning().noquote() << "cannot open" << url;
}

void CenterToolMainWnd::slOpenOfficial()
{
    openLink(QStringLiteral("links/official"), QStringLiteral("https://www.tovia.example/"));
}

void CenterToolMainWnd::slCustom()
{
    openLink(QStringLiteral("links/custom"), QStringLiteral("https://www.tovia.example/service"));
}

void CenterToolMainWnd::slPublic()
{
    TipDlg dlg(QStringLiteral("官方公众号"), this);
    dlg.exec();
}

void CenterToolMainWnd::slHelp()
{
    openLink(QStringLiteral("links/help"), QStringLiteral("https://www.tovia.example/faq"));
}

void CenterToolMainWnd::slCloseFromExitBtn()
{
    m_iExitByLogout = 1;
    close();
}

void CenterToolMainWnd::slShowResult(CCommResult* pRet)
{
    if (!pRet)
        return;
    showResult(*pRet);
    delete pRet;
}

void CenterToolMainWnd::slNewPcInfoArrived(struPcInfoReply reply)
{
    const struPcInfoChange change = m_pRegistry->applyPcInfo(reply.header, reply.simus, reply.from);
    if (change.bRefused)
        return;
    if (change.bCreated) {
        m_pendingPcs.append(change.pcName);
        m_pendingSet.insert(change.pcName);
        showPendingPcs();
    } else if (!m_pendingSet.contains(change.pcName)) {
        applyPcChange(change); // a PC not shown yet is shown as the registry has it then
    }
}

// A LAN heard for the first time lists hundreds of PCs within a second. Their rows and tiles are made
// in turns of the event loop, each turn within a time budget, so that the window keeps answering and
// Qt lays out what is new once per turn rather than once per PC.
void CenterToolMainWnd::showPendingPcs()
{
    beginTurn();
    if (m_pendingPcs.isEmpty())
        return;
    // Shown drawers activate their containers' layouts at once, each of them, the whole list squeezed
    // into the old height and then grown again: the containers are laid out once, afterwards.
    const QList<QLayout*> containers = containerLayouts();
    for (QLayout* l : containers)
        l->setEnabled(false);
    while (!m_pendingPcs.isEmpty() &&
           (m_iShownThisTurn < kRowsPerTurnAtLeast || !m_turnClock.hasExpired(kShowBudgetMs))) {
        const QString pcName = m_pendingPcs.takeFirst();
        m_pendingSet.remove(pcName);
        m_iShownThisTurn += 1 + createPc(pcName);
    }
    for (QLayout* l : containerLayouts())
        l->setEnabled(true);
    m_pLeftGrpDrawer->layout()->activate(); // from the outside in: every drawer gets its room at once
    m_pRightGrpDrawer->layout()->activate();
}

// The layouts that hold the PCs' drawers: both lists and, on the left, every group and its body.
QList<QLayout*> CenterToolMainWnd::containerLayouts() const
{
    QList<QLayout*> out{m_pLeftGrpDrawer->layout(), m_pRightGrpDrawer->layout()};
    for (MyDrawerUI* g : m_pLeftGrpDrawer->groups())
        out << g->layout() << g->body()->layout();
    return out;
}

void CenterToolMainWnd::beginTurn()
{
    if (!m_turnClock.isValid()) {
        m_turnClock.start();
        m_pTurnTimer->start(); // times out once the event loop has had its turn
    }
}

void CenterToolMainWnd::slTurnOver()
{
    m_turnClock.invalidate();
    m_iShownThisTurn = 0;
    m_iReportsThisTurn = 0;
    if (!m_pendingPcs.isEmpty())
        showPendingPcs();
}

// The PC's entry and tile drawer are filled before they join the window, so that their rows and tiles
// are shown with them in one go instead of one by one.
int CenterToolMainWnd::createPc(const QString& pcName)
{
    struPcEntry pc;
    if (!m_pRegistry->entry(pcName, pc))
        return 0;
    auto* pEntry = new MyDrawerEx(m_pRegistry, pc.pcName, pc.nickName, pc.ipAddr);
    auto* pTiles = new VedioBoxDrawer(pc.pcName, pc.nickName, pc.connectAddress());
    for (const struSimuRow& row : qAsConst(pc.rows)) {
        pEntry->addCell(row);
        pTiles->addBox(row.memuIdx, row.simuName)->showRow(row, false);
    }
    pEntry->showPresence(pc);
    if (pc.isOffline())
        pTiles->setAllOffline();
    m_pLeftGrpDrawer->addPc(pEntry);
    m_pRightGrpDrawer->addPc(pTiles);
    checkConnect(connect(pEntry, &MyDrawerEx::sigDrawerCellMenuTriggered, this,
                         &CenterToolMainWnd::slDrawerCellMenuTriggered),
                 QStringLiteral("connect SIGNAL(sigDrawerCellMenuTriggered(int)) "
                                "SLOT(slDrawerCellMenuTriggered(int)) err"));
    checkConnect(connect(pEntry, &MyDrawerEx::sigCellCheckChanged, this, &CenterToolMainWnd::setTicked),
                 QStringLiteral("connect MyDrawerEx::sigCellCheckChanged CenterToolMainWnd::setTicked err"));
    checkConnect(
        connect(pTiles, &VedioBoxDrawer::sigBoxCheckChanged, this, &CenterToolMainWnd::setTicked),
        QStringLiteral("connect VedioBoxDrawer::sigBoxCheckChanged CenterToolMainWnd::setTicked err"));
    checkConnect(connect(pTiles, &VedioBoxDrawer::sigRemoteDesktopRequested, this,
                         &CenterToolMainWnd::sigRemoteDesktopRequested),
                 QStringLiteral("connect VedioBoxDrawer::sigRemoteDesktopRequested "
                                "CenterToolMainWnd::sigRemoteDesktopRequested err"));
    // A tile's right click opens the same menu as its row.
    checkConnect(
        connect(pTiles, &VedioBoxDrawer::sigCellMenuRequested, m_pLeftGrpDrawer,
                &MyGrpDrawer::slPopupCellMenu),
        QStringLiteral("connect VedioBoxDrawer::sigCellMenuRequested MyGrpDrawer::slPopupCellMenu err"));
    updateEmptyText();
    m_pFilter->slSchedule();
    qInfo().noquote() << "PC listed:" << pc.pcName << "nick" << pc.nickName << "at" << pc.ipAddr << "connect"
                      << pc.connectAddress() << "with" << pc.rows.size() << "emulators";
    emit sigPcListed(pc.pcName);
    return pc.rows.size();
}

void CenterToolMainWnd::applyPcChange(const struPcInfoChange& change)
{
    MyDrawerEx* pEntry = m_pLeftGrpDrawer->findPc(change.pcName);
    VedioBoxDrawer* pTiles = m_pRightGrpDrawer->findPc(change.pcName);
    if (!pEntry || !pTiles)
        return;
    for (const struSimuRow& row : change.added) {
        pEntry->addCell(row);
        pTiles->addBox(row.memuIdx, row.simuName)->showRow(row, false);
    }
    for (const auto& rename : change.renamed) {
        if (MyDrawerCell* c = pEntry->cell(rename.first))
            c->setSimuName(rename.second);
        if (AVedioBox* b = pTiles->box(rename.first))
            b->setName(rename.second);
    }
    for (const QString& idx : change.removed) {
        pEntry->removeCell(idx);
        pTiles->removeBox(idx);
    }
    if (change.bNickChanged) {
        pEntry->setNickName(change.entry.nickName);
        pTiles->setNickName(change.entry.nickName);
    }
    if (change.bAddrChanged) {
        pEntry->setIpAddr(change.entry.ipAddr);
        pTiles->setIpAddr(change.entry.connectAddress());
        qInfo().noquote() << "PC" << change.pcName << "now at" << change.entry.connectAddress();
    }
    if (change.bCameOnline) {
        pEntry->showPresence(change.entry);
        pTiles->setOnline();
        qInfo().noquote() << "PC online:" << change.pcName << "with" << change.entry.rows.size()
                          << "emulators";
    }
    if (!change.added.isEmpty() || !change.removed.isEmpty() || !change.renamed.isEmpty() ||
        change.bNickChanged || change.bAddrChanged || change.bCameOnline)
        m_pFilter->slSchedule();
    if (!change.added.isEmpty() || !change.removed.isEmpty() || !change.renamed.isEmpty())
        qInfo().noquote() << "PC" << change.pcName << "emulators: added" << change.added.size() << "removed"
                          << change.removed.size() << "renamed" << change.renamed.size();
}

// Every state goes into the registry; the rows and tiles follow its notice.
void CenterToolMainWnd::applySimuState(const QString& pcName, const QString& memuIdx, int iState, int iTime,
                                       int iDaemonModel)
{
    m_pRegistry->applyState(pcName, memuIdx, iState, iTime, iDaemonModel, nullptr);
}

QRect CenterToolMainWnd::tilesInSight() const
{
    return m_pRightScrollArea->viewport()->rect().translated(-m_pRightGrpDrawer->pos());
}

void CenterToolMainWnd::showSimu(const struSimuRow& row, MyDrawerEx* pEntry, VedioBoxDrawer* pTiles,
                                 const QRect& inSight)
{
    if (MyDrawerCell* c = pEntry ? pEntry->cell(row.memuIdx) : nullptr)
        c->setState(row.iState, row.iDaemonModel);
    if (AVedioBox* b = pTiles ? pTiles->box(row.memuIdx) : nullptr) {
        const QRect where(b->mapTo(m_pRightGrpDrawer, QPoint()), b->size());
        b->showRow(row, pTiles->isOpened() && inSight.intersects(where));
    }
}

// Only tiles in sight are repainted; asking thousands of hidden ones costs the GUI thread most.
// The changes come PC by PC: a PC's row and tile drawers are looked up once for its run of changes.
void CenterToolMainWnd::slSimusChanged(SimuChangeList changes)
{
    const QRect inSight = tilesInSight();
    const QVector<struSimuRow> rows = m_pRegistry->rows(changes);
    QString pcName;
    MyDrawerEx* pEntry = nullptr;
    VedioBoxDrawer* pTiles = nullptr;
    for (int i = 0; i < changes.size() && i < rows.size(); ++i) {
        const struSimuChange& c = changes.at(i);
        if (rows.at(i).memuIdx.isEmpty())
            continue; // no longer listed
        if (c.pcName != pcName) {
            pcName = c.pcName;
            pEntry = m_pLeftGrpDrawer->findPc(pcName);
            pTiles = m_pRightGrpDrawer->findPc(pcName);
        }
        showSimu(rows.at(i), pEntry, pTiles, inSight);
    }
    m_pFilter->slSchedule(); // a state filter may show or hide rows now
}

void CenterToolMainWnd::slAllSimusChanged(int roles)
{
    Q_UNUSED(roles);
    const QRect inSight = tilesInSight();
    for (const struPcEntry& pc : m_pRegistry->snapshot()) {
        MyDrawerEx* pEntry = m_pLeftGrpDrawer->findPc(pc.pcName);
        VedioBoxDrawer* pTiles = m_pRightGrpDrawer->findPc(pc.pcName);
        for (const struSimuRow& row : pc.rows)
            showSimu(row, pEntry, pTiles, inSight);
    }
    m_pFilter->slSchedule();
}

// A large LAN's round comes as a stream of batches, and an operation to hundreds of PCs as hundreds
// of small ones: applied as they arrive, they would keep the event loop from its timers and paints
// until the stream ends. A small batch with nothing waiting is applied at once while this turn of the
// event loop has room; anything else waits for the next turn, a slice per turn.
void CenterToolMainWnd::slSimuReportsArrived(SimuReportList reports)
{
    beginTurn();
    if (m_pendingReports.isEmpty() && reports.size() <= kReportsPerTurn / 4 &&
        m_iReportsThisTurn + reports.size() <= kReportsPerTurn) {
        m_iReportsThisTurn += reports.size();
        return applyReports(reports);
    }
    m_pendingReports += reports;
    if (!m_pReportTimer->isActive())
        m_pReportTimer->start();
}

void CenterToolMainWnd::slApplyPendingReports()
{
    beginTurn();
    m_iReportsThisTurn += qMin<int>(m_pendingReports.size(), kReportsPerTurn);
    if (m_pendingReports.size() <= kReportsPerTurn) {
        SimuReportList all;
        all.swap(m_pendingReports);
        return applyReports(all);
    }
    applyReports(m_pendingReports.mid(0, kReportsPerTurn));
    m_pendingReports.remove(0, kReportsPerTurn);
    m_pReportTimer->start();
}

void CenterToolMainWnd::applyReports(const SimuReportList& reports)
{
    QElapsedTimer clock;
    clock.start();
    m_pRegistry->applyReports(reports); // one notice for the batch
    m_reportApplyNs += clock.nsecsElapsed();
    m_reportsApplied += reports.size();
}

void CenterToolMainWnd::slSimuStatesArrived(QString strPcName, QStringList strMemuIdxList, int iState,
                                            int iTime)
{
    SimuReportList reports;
    reports.reserve(strMemuIdxList.size());
    for (const QString& idx : qAsConst(strMemuIdxList))
        reports.append(struSimuReport{strPcName, idx, iState, iTime, -1, QByteArray()});
    slSimuReportsArrived(reports); // an operation's busy states take their turns as discovery's do
}

// A picture that arrives decoded is kept losslessly compressed, as the tiles keep every picture.
void CenterToolMainWnd::setPictureOf(const QString& pcName, const QString& memuIdx, const QImage& image)
{
    QByteArray png;
    QBuffer out(&png);
    if (image.isNull() || !out.open(QIODevice::WriteOnly) || !image.save(&out, "PNG")) {
        qWarning().noquote() << "picture of" << pcName << memuIdx << "not kept";
        return;
    }
    m_pRegistry->setPicture(pcName, memuIdx, png, true);
}

void CenterToolMainWnd::slPcNickNameSimuNameImageArrived(QString strPcNickName, QString strSimuName,
                                                         QImage* pImage)
{
    for (const struPcEntry& pc : m_pRegistry->snapshot()) {
        if (pc.nickName != strPcNickName)
            continue;
        for (const struSimuRow& r : pc.rows) {
            if (pImage && r.simuName.compare(strSimuName, Qt::CaseInsensitive) == 0) {
                setPictureOf(pc.pcName, r.memuIdx, *pImage);
                break;
            }
        }
        break;
    }
    delete pImage;
}

void CenterToolMainWnd::slPcNameMemuIdxImageArrived(QString strPcName, QString strMemuIdx, QImage* pImage)
{
    if (pImage && m_pRegistry->contains(strPcName))
        setPictureOf(strPcName, strMemuIdx, *pImage);
    delete pImage;
}

void CenterToolMainWnd::slSetInstallState(QString strPcName, QString strMemuIdx, int iState, int iProgress)
{
    VedioBoxDrawer* d = m_pRightGrpDrawer->findPc(strPcName);
    if (!d)
        return;
    switch (iState) {
    case 0:
        d->slBeginInstall(strMemuIdx);
        break;
    case 1:
        d->slUpdateSimusInstallProgress(strMemuIdx, iProgress);
        break;
    case 2:
        d->slInstallFinished(strMemuIdx);
        break;
    default:
        break;
    }
}

void CenterToolMainWnd::slSetState(QString strPcName, QString strMemuIdx, int iState, int iTime)
{
    applySimuState(strPcName, strMemuIdx, iState, iTime, -1);
}

// A state without a time: always shown.
void CenterToolMainWnd::slNewSimuStateArrived(QString strPcName, QString strMemuIdx, int iState)
{
    applySimuState(strPcName, strMemuIdx, iState, -1, -1);
}

void CenterToolMainWnd::slNewSimuStateParamArrived(QByteArray aryJson)
{
    QString pcName, memuIdx;
    int iState = 0, iTime = 0, iDaemonModel = 0;
    const CCommResult r = JsonCodec::parseSimuState(aryJson, pcName, memuIdx, iState, iTime, iDaemonModel);
    if (!r.ok()) {
        qWarning().noquote() << "state message does not parse:" << r.log;
        return;
    }
    applySimuState(pcName, memuIdx, iState, iTime, iDaemonModel);
}

// The operations refuse an empty selection themselves (44), through the same dialogs as their other
// refusals.
void CenterToolMainWnd::slDrawerCellMenuTriggered(int index)
{
    static const QMetaMethod chosen = QMetaMethod::fromSignal(&CenterToolMainWnd::sigOperationChosen);
    if (isSignalConnected(chosen)) {
        emit sigOperationChosen(index);
    } else if (!m_pRegistry->hasChecked()) {
        showResult(OpsCode::nothingTicked());
        return;
    } else {
        qWarning("operation %d chosen, but no operations are installed in this console", index);
    }
    clearAllTicks();
}

void CenterToolMainWnd::slMainWndMsgHandler(QString strMsg, QString strParam, QString strParam2, int iParam,
                                            int iParam2, QByteArray aryParam)
{
    Q_UNUSED(strParam2);
    Q_UNUSED(iParam);
    Q_UNUSED(iParam2);
    Q_UNUSED(aryParam);
    if (strMsg == QLatin1String("setAllItemOffline"))
        markOffline(strParam);
}

// The checker's message was computed on its thread a moment ago: a reply applied since then wins. A
// PC shown offline already is left as it is (its rows and tiles show that).
void CenterToolMainWnd::markOffline(const QString& pcName)
{
    struPcEntry before;
    if (!m_pRegistry->isSilent(pcName, m_pRegistry->now()) || !m_pRegistry->entry(pcName, before) ||
        before.isOffline() || !m_pRegistry->setOffline(pcName))
        return;
    qInfo().noquote() << "PC offline:" << pcName << "not heard from since"
                      << QDateTime::fromSecsSinceEpoch(before.lastHeard).toString(Qt::ISODate);
    struPcEntry after;
    MyDrawerEx* pEntry = m_pLeftGrpDrawer->findPc(pcName);
    if (pEntry && m_pRegistry->entry(pcName, after))
        pEntry->showPresence(after); // its rows' states and tiles' pictures follow the registry's notice
    if (VedioBoxDrawer* pTiles = m_pRightGrpDrawer->findPc(pcName))
        pTiles->setAllOffline();
    m_pFilter->slSchedule();
}

// A tick on a row and on its tile go together.
void CenterToolMainWnd::setTicked(const QString& pcName, const QString& memuIdx, bool bChecked)
{
    m_pRegistry->setChecked(pcName, memuIdx, bChecked);
    if (MyDrawerEx* pEntry = m_pLeftGrpDrawer->findPc(pcName)) {
        if (MyDrawerCell* c = pEntry->cell(memuIdx))
            c->setChecked(bChecked);
    }
    if (VedioBoxDrawer* pTiles = m_pRightGrpDrawer->findPc(pcName)) {
        if (AVedioBox* b = pTiles->box(memuIdx))
            b->setChecked(bChecked);
    }
}

void CenterToolMainWnd::clearAllTicks()
{
    m_pLeftGrpDrawer->clearAllChecks();
    for (VedioBoxDrawer* d : m_pRightGrpDrawer->pcDrawers()) {
        for (int i = 0; i < d->boxList().size(); ++i)
            d->boxList().at(i)->setChecked(false);
    }
}

void CenterToolMainWnd::updateEmptyText()
{
    if (m_pRegistry->pcCount() == 0)
        m_pRightGrpDrawer->setText(VedioBoxGrpDrawer::emptyText());
    else if (m_pFilter->isActive() && m_pFilter->shownRows() == 0)
        m_pRightGrpDrawer->setText(QStringLiteral("没有符合筛选条件的模拟器"));
    else
        m_pRightGrpDrawer->setText(QString());
}

void CenterToolMainWnd::slSysTrayMenuTriggered(int index)
{
    if (index == 0) {
        activateWindow();
        showNormal();
    } else if (index == 1) {
        close();
    }
}

void CenterToolMainWnd::slSysTrayActived(QSystemTrayIcon::ActivationReason reason)
{
    Q_UNUSED(reason);
    activateWindow();
    showNormal();
}
