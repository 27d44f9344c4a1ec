#include "simudaemonobj.h"

#include "launcherfactory.h"
#include "launchertuning.h"
#include "loginret.h"
#include "operloggerobj.h"
#include "platform.h"
#include "resultcodes.h"
#include "simuinfo.h"
#include "simuinfoxmlgainer.h"
#include "simusettings.h"

#include <QEventLoop>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <QVector>
#include <QtDebug>

namespace {

QVector<SimuInfo> readInventory()
{
    return SimuInfoXmlGainer::readInventory("SimuDaemonObj");
}

struSimuRecord storedRecord(const QString& memuIdx)
{
    return SimuSettings::storedSimuRecord(memuIdx);
}

// Stores the fields the watchdog owns; the rest of the record is kept as it is stored now.
void storeState(const QString& memuIdx, int iState, int iPid)
{
    SimuSettings::updateSimuRecord(memuIdx, [&](struSimuRecord& rec) {
        rec.iState = iState;
        rec.iPid = iPid;
        rec.iTime = -1;
    });
}

// Marks an instance as being restarted; its stored process id stays.
void storeStarting(const QString& memuIdx)
{
    SimuSettings::updateSimuRecord(memuIdx, [](struSimuRecord& rec) {
        rec.iState = eStateStarting;
        rec.iTime = -1;
    });
}

// Probes an instance that no operation owns. The probe itself may act (an LDPlayer instance listed
// as running but unreachable is closed), so an instance under an operation is not even probed; false
// then, and also when an operation began while the probe ran.
bool probeUnowned(const SimuInfo& info, int& state, int& pid)
{
    if (SimuDaemonObj::isOperationUnderWay(storedRecord(info.idx()).iState))
        return false;
    state = SimuRunState(info, pid);
    return !SimuDaemonObj::isOperationUnderWay(storedRecord(info.idx()).iState);
}

} // namespace

SimuDaemonObj::SimuDaemonObj(QObject* parent) : QObject(parent)
{
    m_clock.start();
}

// ---- operation-log texts --------------------------------------------------------------------------

QString SimuDaemonObj::msgNewInstance(const QString& name)
{
    return QStringLiteral("检测到新模拟器\"%1\"被打开").arg(name);
}

QString SimuDaemonObj::msgOverRunLimit(const QString& name)
{
    return QStringLiteral("检测到新模拟器被打开，但超过运行限制,\"%1\"将被关闭。").arg(name);
}

QString SimuDaemonObj::msgClosedForRunLimit(const QString& name)
{
    return QStringLiteral("\"%1\"因为超过运行限制被关闭了。").arg(name);
}

QString SimuDaemonObj::msgCloseFailed(const QString& name)
{
    return QStringLiteral("\"%1\"关闭失败").arg(name);
}

QString SimuDaemonObj::msgLost(const QString& name)
{
    return QStringLiteral("检测到\"%1\"异常关闭").arg(name);
}

QString SimuDaemonObj::msgLostRestarting(const QString& name)
{
    return QStringLiteral("\"%1\"异常关闭，将重新启动，请耐心等待...").arg(name);
}

QString SimuDaemonObj::msgLostRestarted(const QString& name)
{
    return QStringLiteral("\"%1\"重启成功，已纳入守护").arg(name);
}

QString SimuDaemonObj::msgLostRestartFailed(const QString& name)
{
    return QStringLiteral("\"%1\"重启失败").arg(name);
}

QString SimuDaemonObj::msgWatchedClosed(const QString& name)
{
    return QStringLiteral("检测到模拟器\"%1\"被关闭，将重新启动，请耐心等待...").arg(name);
}

QString SimuDaemonObj::msgWatchedRestarted(const QString& name)
{
    return QStringLiteral("模拟器\"%1\"重启成功").arg(name);
}

QString SimuDaemonObj::msgWatchedRestartFailed(const QString& name)
{
    return QStringLiteral("模拟器\"%1\"重启失败").arg(name);
}

QString SimuDaemonObj::msgGivenUp(const QString& name, int failures)
{
    return QStringLiteral("模拟器\"%1\"重启失败已经%2次，将不再对其进行守护").arg(name).arg(failures);
}

// ---- slots ----------------------------------------------------------------------------------------

void SimuDaemonObj::InitDaemon()
{
    if (!connect(this, &SimuDaemonObj::sigPeekSimuStateOnce, this, &SimuDaemonObj::slSimusStateCheck,
                 Qt::QueuedConnection))
        qWarning("connect SimuDaemonObj::sigPeekSimuStateOnce SimuDaemonObj::slSimusStateCheck err");
}

void SimuDaemonObj::slStartupDaemonList()
{
    runDaemonPass();
    // Every login announces the daemon again; only the first starts the chain of check passes, so
    // that two chains never examine the same instances at the same time.
    if (!m_bChainRunning)
        scheduleNextPass();
}

void SimuDaemonObj::slSimusStateCheck()
{
    m_bChainRunning = false;
    if (m_bStop)
        return;
    if (!sleepCheckSpan())
        return; // the thread is ending
    if (LoginRecord::isLoggedIn()) {
        if (SimuSettings::getDaemonModel().iExtraRet == eDaemonOn)
            runDaemonPass();
        for (const SimuInfo& info : readInventory())
            checkInstance(info);
    }
    if (!m_bStop)
        scheduleNextPass();
}

void SimuDaemonObj::slAddNewDaemon(QString strSimuName, QString strMemuIndex)
{
    Q_UNUSED(strSimuName);
    SimuSettings::addDaemon(strMemuIndex);
}

void SimuDaemonObj::slRemoveDameon(QString strSimuName, QString strMemuIndex)
{
    Q_UNUSED(strSimuName);
    SimuSettings::removeDaemon(strMemuIndex);
}

// ---- passes ---------------------------------------------------------------------------------------

void SimuDaemonObj::scheduleNextPass()
{
    m_bChainRunning = true;
    emit sigPeekSimuStateOnce();
}

bool SimuDaemonObj::sleepCheckSpan()
{
    const int ms = SimuSettings::getCheckTimeSpan().iExtraRet * 1000;
    if (QThread::currentThread()->isInterruptionRequested())
        return false;
    if (ms <= 0)
        return true;
    // A local loop keeps the thread serving its queued calls (watch-list changes) while it waits,
    // and ends early when the thread is told to quit.
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(ms);
    loop.exec();
    return !timer.isActive();
}

void SimuDaemonObj::runDaemonPass()
{
    const QStringList watched = SimuSettings::getDaemonList();
    if (SimuSettings::getDaemonModel().iExtraRet == eDaemonOff) {
        m_bStop = false;
        return;
    }
    QVector<SimuInfo> closed;
    for (const SimuInfo& info : readInventory()) {
        int state = 0;
        int pid = 0;
        if (!watched.contains(info.idx()) || !probeUnowned(info, state, pid))
            continue;
        if ((state != eRunStateStopped && state != eRunStateHung) || isStillBooting(info, pid))
            continue;
        operLog(msgWatchedClosed(info.name()));
        storeState(info.idx(), eStateStarting, pid);
        closed.append(info);
    }
    for (const SimuInfo& info : qAsConst(closed))
        restartWatched(info);
    m_bStop = false;
}

void SimuDaemonObj::restartWatched(const SimuInfo& info)
{
    const QString idx = info.idx();
    const struSimuRecord rec = storedRecord(idx);
    if (rec.iRestErrCnt >= kMaxRestartFailures) {
        SimuSettings::removeDaemon(idx);
        operLog(msgGivenUp(info.name(), kMaxRestartFailures));
        // Given up: the instance is not started, and nothing is under way on it any more.
        SimuSettings::updateSimuRecord(idx, [](struSimuRecord& r) {
            r.iState = eStateNotStarted;
            r.iPid = 0;
            r.iRestErrCnt = 0;
            r.iTime = -1;
        });
        return;
    }
    const CCommResult r = restartAfterKill(idx, rec.iPid);
    operLog(r.iRet == 0 ? msgWatchedRestarted(info.name()) : msgWatchedRestartFailed(info.name()));
    SimuSettings::updateSimuRecord(idx, [&](struSimuRecord& stored) {
        stored.iState = r.iRet == 0 ? int(eStateRunning) : int(eStateNotStarted);
        stored.iPid = r.iRet == 0 ? r.iExtraRet : 0;
        stored.iRestErrCnt = r.iRet == 0 ? 0 : stored.iRestErrCnt + 1;
        stored.iTime = -1;
    });
}

CCommResult SimuDaemonObj::restartAfterKill(const QString& idx, int lingeringPid)
{
    // A hung or unreachable instance still has its process: started beside it, the new one would
    // compete with it, and the stored pid would name a process other than the one running.
    if (lingeringPid > 0 && platform::processAlive(lingeringPid) && ownsProcess(idx, lingeringPid) &&
        !killAndVerify(lingeringPid))
        return CCommResult::failure(ResultCode::kCloseFailed, QStringLiteral("关闭模拟器失败"),
                                    QStringLiteral("process %1 survived the kill").arg(lingeringPid));
    QProcess process;
    return SimuStartup(idx, &process);
}

// ---- instance check -------------------------------------------------------------------------------

bool SimuDaemonObj::isOperationUnderWay(int iState)
{
    return iState == eStateStarting || iState == eStateClosing || iState == eStateInstalling ||
           iState == eStateDeleting;
}

void SimuDaemonObj::checkInstance(const SimuInfo& info)
{
    int state = 0;
    int pid = 0;
    if (!probeUnowned(info, state, pid))
        return;
    if (state == eRunStateRunning) {
        if (m_booting.take(info.idx()).logged)
            qInfo().noquote() << QStringLiteral("SimuDaemonObj: \"%1\" (%2) is up, process %3 s old")
                                     .arg(info.name(), info.idx())
                                     .arg(platform::processAgeMs(pid) / 1000.0, 0, 'f', 1);
        handleNewInstance(info, pid);
    } else if (state == eRunStateStopped && !isStillBooting(info, pid)) {
        handleLostInstance(info, pid);
    }
}

bool SimuDaemonObj::isStillBooting(const SimuInfo& info, int probedPid)
{
    const QString idx = info.idx();
    const qint64 pid = probedPid > 0 ? probedPid : storedRecord(idx).iPid;
    if (pid <= 0 || !platform::processAlive(pid)) {
        m_booting.remove(idx); // no process: nothing boots
        return false;
    }
    struBootSighting& seen = m_booting[idx];
    if (seen.pid != pid)
        seen = struBootSighting{pid, m_clock.elapsed(), false};
    qint64 ageMs = platform::processAgeMs(pid);
    if (ageMs < 0)
        ageMs = m_clock.elapsed() - seen.firstSeenMs;
    const qint64 graceMs = LauncherTuning::bootGraceMs();
    if (ageMs >= graceMs) {
        if (seen.logged)
            qWarning().noquote() << QStringLiteral("SimuDaemonObj: \"%1\" (%2, process %3) still unreachable "
                                                   "after %4 s, longer than a boot may take (%5 s)")
                                        .arg(info.name(), idx)
                                        .arg(pid)
                                        .arg(ageMs / 1000.0, 0, 'f', 1)
                                        .arg(graceMs / 1000.0, 0, 'f', 1);
        seen.logged = false;
        return false;
    }
    if (!seen.logged) {
        seen.logged = true;
        qInfo().noquote() << QStringLiteral("SimuDaemonObj: \"%1\" (%2, process %3) is booting, %4 s old; "
                                            "left alone until %5 s")
                                 .arg(info.name(), idx)
                                 .arg(pid)
                                 .arg(ageMs / 1000.0, 0, 'f', 1)
                                 .arg(graceMs / 1000.0, 0, 'f', 1);
    }
    return true;
}

void SimuDaemonObj::handleNewInstance(const SimuInfo& info, int pid)
{
    const QString idx = info.idx();
    if (storedRecord(idx).iState != eStateNotStarted)
        return; // the agent knows it
    const QStringList running = SimuSettings::getRunningList();
    const int count = running.contains(idx) ? running.size() : running.size() + 1;
    if (SimuSettings::getRunLimit().iExtraRet < count) {
        operLog(msgOverRunLimit(info.name()));
        const CCommResult r = SimuClose(idx, pid);
        operLog(r.iRet == 0 ? msgClosedForRunLimit(info.name()) : msgCloseFailed(info.name()));
        return;
    }
    operLog(msgNewInstance(info.name()));
    storeState(idx, eStateRunning, pid);
    if (SimuSettings::getDaemonModel().iExtraRet == eDaemonOn)
        SimuSettings::addDaemon(idx);
}

void SimuDaemonObj::handleLostInstance(const SimuInfo& info, int pid)
{
    const QString idx = info.idx();
    if (storedRecord(idx).iState == eStateNotStarted) {
        // Believed closed, yet a process lingers without an adb connection: end it. A stopped
        // LDPlayer instance is listed with pid -1, which names no process.
        if (pid > 0 && ownsProcess(idx, pid)) {
            qWarning("without adb connection");
            killAndVerify(pid);
        }
        return;
    }
    operLog(msgLost(info.name()));
    if (SimuSettings::getDaemonModel().iExtraRet != eDaemonOn) {
        storeState(idx, eStateNotStarted, 0);
        return;
    }
    storeStarting(idx);
    operLog(msgLostRestarting(info.name()));
    const CCommResult r = restartAfterKill(idx, pid);
    if (r.iRet == 0) {
        storeState(idx, eStateRunning, r.iExtraRet);
        operLog(msgLostRestarted(info.name()));
    } else {
        storeState(idx, eStateNotStarted, 0);
        operLog(msgLostRestartFailed(info.name()));
    }
}

// A pid from a listing or a stored record may name any process: only the product's own instance
// process of that instance is ever killed.
bool SimuDaemonObj::ownsProcess(const QString& idx, int pid)
{
    if (SimuOwnsProcess(idx, pid))
        return true;
    qWarning().noquote() << QStringLiteral("SimuDaemonObj: process %1 given for \"%2\" is not its instance "
                                           "process, left alone")
                                .arg(pid)
                                .arg(idx);
    return false;
}

bool SimuDaemonObj::killAndVerify(int pid)
{
    for (int attempt = 0; attempt < kKillAttempts; ++attempt) {
        qWarning().noquote() << "CSimulatorLauncher close simu :"
                             << QStringLiteral("taskkill /f /t /pid %1").arg(pid);
        platform::killProcessTree(pid);
        LauncherTuning::sleepStep();
        if (!platform::processAlive(pid))
            return true;
    }
    qWarning().noquote() << "SimuDaemonObj: process" << pid << "survived" << kKillAttempts << "kills";
    return false;
}
