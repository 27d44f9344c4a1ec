#include "agentcontroller.h"

#include "adbbridge.h"
#include "adbshells.h"
#include "agentlogging.h"
#include "agentsettings.h"
#include "desktoprunmgr.h"
#include "desktopvideosender.h"
#include "groupctlmgr.h"
#include "inventoryscanobj.h"
#include "launcherfactory.h"
#include "maindlgobj.h"
#include "operloggerobj.h"
#include "platform.h"
#include "screenshotpoolobj.h"
#include "simudaemonobj.h"
#include "simusettings.h"
#include "simustatestore.h"
#include "simutcprcvobj.h"
#include "udprceiverobj.h"
#include "workerthread.h"

#include <QHostInfo>
#include <QThread>

namespace {
constexpr int kThreadQuitWaitMs = 30000;
} // namespace

AgentController::AgentController(const Options& options, QObject* parent)
    : QObject(parent), m_options(options)
{
}

AgentController::~AgentController()
{
    shutdown();
}

void AgentController::checkConnect(bool ok, const QString& failText)
{
    if (!ok)
        qCWarning(lcControl).noquote() << failText;
}

QThread* AgentController::startWorker(QObject* worker, const char* startSignature, const QString& failText,
                                      Qt::ConnectionType type)
{
    QThread* thread = newWorkerThread(worker, startSignature, failText, type);
    m_threads.append(thread);
    return thread;
}

void AgentController::startWorkers()
{
    QList<QThread*> threads;
    startDiscoveryAndWatchdog(threads);
    startCommandServer(threads);
    startStateLoopAndScreenshots(threads);
    startOperationLog(threads);
    for (QThread* thread : threads)
        thread->start(QThread::InheritPriority);
}

void AgentController::startDiscoveryAndWatchdog(QList<QThread*>& threads)
{
    m_pUdpRceiverObj = new UdpRceiverObj(m_options.udpPort);
    threads << startWorker(m_pUdpRceiverObj, SLOT(slInitSocket()),
                           QStringLiteral("connect QThread::started UdpRceiverObj::InitSocket err"));

    m_pSimuDaemonObj = new SimuDaemonObj;
    threads << startWorker(m_pSimuDaemonObj, SLOT(InitDaemon()),
                           QStringLiteral("connect QThread::started SimuDaemonObj::InitDaemon err"));
    checkConnect(connect(this, SIGNAL(sigBeginDaemon()), m_pSimuDaemonObj, SLOT(slStartupDaemonList())),
                 QStringLiteral("connect SIGNAL(sigBeginDaemon()) SLOT(slStartupDaemonList()) err"));
}

void AgentController::startCommandServer(QList<QThread*>& threads)
{
    // Commands wait for the start-up inventory scan, which would otherwise overwrite what they store.
    InventoryScanObj* pScan = scanWorker();
    SimuTcpRcvObj::Options tcpOptions;
    tcpOptions.bHoldUntilReady = !pScan->hasScanned();
    tcpOptions.notifier = m_options.notifier;
    if (m_options.holdLimitMs > 0)
        tcpOptions.iHoldLimitMs = m_options.holdLimitMs;
    m_pSimuTcpRcvObj = new SimuTcpRcvObj(m_options.tcpPort, tcpOptions);
    connect(pScan, &InventoryScanObj::sigScanned, m_pSimuTcpRcvObj, &SimuTcpRcvObj::slInventoryReady);
    if (pScan->hasScanned()) // it may have ended just before the connection
        QMetaObject::invokeMethod(m_pSimuTcpRcvObj, &SimuTcpRcvObj::slInventoryReady, Qt::QueuedConnection);
    // Remote-desktop runs follow the command server's begin and end commands on its thread.
    (new DesktopRunMgr(m_pSimuTcpRcvObj))->attach(m_pSimuTcpRcvObj);
    threads << startWorker(m_pSimuTcpRcvObj, SLOT(slInitSocket()),
                           QStringLiteral("connect QThread::started SimuTcpRcvObj::slInitSocket err"));
    // Group control on a thread of its own: the command thread only hands its commands over.
    auto* pGroupCtl = new GroupCtlMgr;
    GroupCtlMgr::attach(m_pSimuTcpRcvObj, pGroupCtl);
    threads << startWorker(pGroupCtl, SLOT(slInit()),
                           QStringLiteral("connect QThread::started GroupCtlMgr::slInit err"));
    checkConnect(
        connect(m_pSimuTcpRcvObj, SIGNAL(sigNewSimuStarted(QString, QString)), m_pSimuDaemonObj,
                SLOT(slAddNewDaemon(QString, QString))),
        QStringLiteral(
            "connect SIGNAL(sigNewSimuStarted(QString,QString)) SLOT(slAddNewDaemon(QString,QString)) err"));
    checkConnect(
        connect(m_pSimuTcpRcvObj, SIGNAL(sigSimuClosed(QString, QString)), m_pSimuDaemonObj,
                SLOT(slRemoveDameon(QString, QString))),
        QStringLiteral(
            "connect SIGNAL(sigSimuClosed(QString,QString)) SLOT(slRemoveDameon(QString,QString)) err"));
}

void AgentController::startStateLoopAndScreenshots(QList<QThread*>& threads)
{
    m_pMainDlgObj = new MainDlgObj(m_options.uiTickMs);
    threads << startWorker(m_pMainDlgObj, SLOT(slInitUiObj()),
                           QStringLiteral("connect QThread::started MainDlgObj::slInitUiObj err"));
    checkConnect(
        connect(m_pUdpRceiverObj, SIGNAL(sigResponsedOneCenterTool()), m_pMainDlgObj, SLOT(slInitTickCnt())),
        QStringLiteral("connect UdpRceiverObj::sigResponsedOneCenterTool MainDlgObj::slInitTickCnt err"));
    checkConnect(
        connect(m_pMainDlgObj, &MainDlgObj::sigUpdateConnectState, this,
                &AgentController::sigUpdateConnectState, Qt::QueuedConnection),
        QStringLiteral(
            "connect SIGNAL(sigUpdateConnectState(QString)) SLOT(slUpdateConnectState(QString)) err"));

    m_pScreenshotPoolObj = new ScreenshotPoolObj;
    threads << startWorker(m_pScreenshotPoolObj, SLOT(slInitPool()),
                           QStringLiteral("connect QThread::started ScreenshotPoolObj::slInitPool err"),
                           Qt::QueuedConnection);
}

void AgentController::startOperationLog(QList<QThread*>& threads)
{
    m_pOperLoggerObj = new OperLoggerObj(SimuSettings::logDir());
    OperLoggerObj::setInstance(m_pOperLoggerObj);
    threads << startWorker(m_pOperLoggerObj, SLOT(slInitOperLogger()),
                           QStringLiteral("connect QThread::started OperLoggerObj::slInitOperLogger err"));
    checkConnect(connect(m_pSimuTcpRcvObj, SIGNAL(sigMsgParam(int, int, QString, QByteArray)),
                         m_pOperLoggerObj, SLOT(slMsgHandler(int, int, QString, QByteArray))),
                 QStringLiteral("connect SimuTcpRcvObj::sigMsgParam OperLoggerObj::slMsgHandler err"));
    checkConnect(connect(this, &AgentController::sigMsgParam, m_pOperLoggerObj, &OperLoggerObj::slMsgHandler),
                 QStringLiteral("connect MainWnd::sigMsgParam OperLoggerObj::slMsgHandler err"));
    checkConnect(
        connect(m_pOperLoggerObj, &OperLoggerObj::sigAppendLog, this, &AgentController::sigAppendLog),
        QStringLiteral("connect OperLoggerObj::sigAppendLog MainWnd::slAppendLog err"));
}

void AgentController::logOper(const QString& text, int iIsForce)
{
    emit sigMsgParam(0, iIsForce, text, QByteArray());
}

InventoryScanObj* AgentController::scanWorker()
{
    if (m_pInventoryScanObj)
        return m_pInventoryScanObj;
    m_pInventoryScanObj = new InventoryScanObj;
    m_pScanThread = new QThread;
    m_pInventoryScanObj->moveToThread(m_pScanThread);
    // The scan's lines go to the operation log straight from the scan thread.
    connect(
        m_pInventoryScanObj, &InventoryScanObj::sigLogOper, this,
        [this](const QString& text) { logOper(text); }, Qt::DirectConnection);
    connect(m_pInventoryScanObj, &InventoryScanObj::sigScanned, this, &AgentController::sigInventoryScanned);
    connect(m_pScanThread, &QThread::finished, m_pInventoryScanObj, &QObject::deleteLater);
    connect(m_pScanThread, &QThread::finished, m_pScanThread, &QObject::deleteLater);
    m_pScanThread->start(QThread::InheritPriority);
    return m_pInventoryScanObj;
}

int AgentController::scanInventory()
{
    if (m_shutDown)
        return 0;
    InventoryScanObj* pScan = scanWorker();
    const int scanId = ++m_iLastScanId;
    QMetaObject::invokeMethod(
        pScan, [pScan, scanId] { pScan->slScan(scanId); }, Qt::QueuedConnection);
    return scanId;
}

void AgentController::stopScanWorker()
{
    m_pInventoryScanObj = nullptr;
    if (!m_pScanThread)
        return;
    // A scan under way ends first (its tools have time-outs); scans still asked for are dropped.
    m_pScanThread->quit();
    if (!m_pScanThread->wait(kThreadQuitWaitMs))
        qCWarning(lcControl) << "inventory scan thread did not end in time";
    m_pScanThread = nullptr;
}

QString AgentController::modeAnnouncement(const QString& typeText)
{
    if (typeText.isEmpty())
        return QString();
    if (!AgentSettings::daemonOn())
        return QStringLiteral("当前被控端设置为“%1-普通模式”").arg(typeText);
    return QStringLiteral("当前被控端设置为“%1-守护模式”").arg(typeText);
}

QString AgentController::watchedLine() const
{
    QString line = QStringLiteral("当前被控端设置为守护模式");
    const QStringList watched = SimuStateStore::instance().watchList();
    if (watched.isEmpty())
        return line;
    line += QStringLiteral("，守护的模拟器有");
    for (const QString& idx : watched) {
        const struSimuRecord rec = SimuStateStore::instance().record(idx);
        line += QStringLiteral("\"%1\",").arg(rec.simuName.isEmpty() ? idx : rec.simuName);
    }
    return line;
}

void AgentController::announceStart(const QString& typeText)
{
    if (AgentSettings::pcName.value().isEmpty())
        AgentSettings::pcName.set(QHostInfo::localHostName());
    logOper(QStringLiteral("Tovia模拟器-被控端 启动成功"));
    const QString mode = modeAnnouncement(typeText);
    if (!mode.isEmpty()) {
        logOper(mode);
        if (AgentSettings::daemonOn())
            logOper(watchedLine());
    }
    emit sigBeginDaemon();
}

void AgentController::shutdown()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    stopScanWorker();
    OperLoggerObj::setInstance(nullptr);
    // Quit in the reverse of the start order: operation log first, discovery responder last.
    for (int i = m_threads.size() - 1; i >= 0; --i) {
        QThread* thread = m_threads.at(i);
        if (!thread)
            continue;
        thread->requestInterruption();
        thread->quit();
        if (!thread->wait(kThreadQuitWaitMs))
            qCWarning(lcControl) << "worker thread did not end in time";
    }
    m_threads.clear();
    qCInfo(lcControl) << "close thread finished";
    DesktopVideoSender::killGrabbers();
    AdbShells::shutdown();
    AdbKillServer();
}
