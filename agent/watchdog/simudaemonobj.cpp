#include "simudaemonobj.h"

#include "agentlogging.h"
#include "agentsettings.h"
#include "launcherfactory.h"
#include "launchertuning.h"
#include "loginret.h"
#include "operloggerobj.h"
#include "platform.h"
#include "resultcodes.h"
#include "simuinfo.h"
#include "simuinfoxmlgainer.h"
#include "simustatestore.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QMutex>
#include <QProcess>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QVector>

#include <algorithm>

namespace {

QVector<SimuInfo> readInventory()
{
    return SimuInfoXmlGainer::readInventory("SimuDaemonObj");
}

SimuStateStore& store()
{
    return SimuStateStore::instance();
}

// The fields the watchdog stores for a finding; the rest of the record stays as it is.
SimuStateStore::Change foundState(int iState, int iPid)
{
    return [iState, iPid](struSimuRecord& rec) {
        rec.iState = iState;
        rec.iPid = iPid;
        rec.iTime = -1;
    };
}

} // namespace

SimuDaemonObj::SimuDaemonObj(QObject* parent) : QObject(parent), m_pRestarts(new QThreadPool), m_guard(this)
{
    m_clock.start();
}

SimuDaemonObj::~SimuDaemonObj()
{
    m_guard.release();
    m_pRestarts->clear();
    if (m_pRestarts->waitForDone(kShutdownWaitMs)) {
        delete m_pRestarts;
        return;
    }
    // A restart still waits for its boot: its pool is left to the end of the program rather than
    // waited for here; its outcome goes nowhere.
    qCWarning(lcWatchdog) << "SimuDaemonObj: a restart was still under way at shutdown";
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
        qCWarning(lcWatchdog,
                  "connect SimuDaemonObj::sigPeekSimuStateOnce SimuDaemonObj::slSimusStateCheck err");
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
        if (AgentSettings::daemonModel == eDaemonOn)
            runDaemonPass();
        checkInstances(readInventory());
    }
    if (!m_bStop)
        scheduleNextPass();
}

void SimuDaemonObj::slAddNewDaemon(QString strSimuName, QString strMemuIndex)
{
    Q_UNUSED(strSimuName);
    store().addWatched(strMemuIndex);
}

void SimuDaemonObj::slRemoveDameon(QString strSimuName, QString strMemuIndex)
{
    Q_UNUSED(strSimuName);
    store().removeWatched(strMemuIndex);
}

// ---- passes ---------------------------------------------------------------------------------------

void SimuDaemonObj::scheduleNextPass()
{
    m_bChainRunning = true;
    emit sigPeekSimuStateOnce();
}

bool SimuDaemonObj::sleepCheckSpan()
{
    const int ms = AgentSettings::checkTimeSpan * 1000;
    if (QThread::currentThread()->isInterruptionRequested())
        return false;
    if (ms <= 0)
        return true;
    // A local loop keeps the thread serving its queued calls (watch-list changes, ended restarts)
    // while it waits, and ends early when the thread is told to quit.
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
    const QStringList watched = store().watchList();
    if (AgentSettings::daemonModel == eDaemonOff) {
        m_bStop = false;
        return;
    }
    QVector<SimuInfo> infos = readInventory();
    infos.erase(std::remove_if(infos.begin(), infos.end(),
                               [&](const SimuInfo& info) { return !watched.contains(info.idx()); }),
                infos.end());
    const QHash<QString, struProbe> probes = probeUnowned(infos);
    for (const SimuInfo& info : qAsConst(infos)) {
        const auto it = probes.constFind(info.idx());
        if (it == probes.constEnd())
            continue;
        if ((it->state != eRunStateStopped && it->state != eRunStateHung) || isStillBooting(info, it->pid))
            continue;
        operLog(msgWatchedClosed(info.name()));
        restartWatched(info, *it);
    }
    m_bStop = false;
}

void SimuDaemonObj::restartWatched(const SimuInfo& info, const struProbe& probe)
{
    const QString idx = info.idx();
    if (store().record(idx).iRestErrCnt < kMaxRestartFailures) {
        beginRestart(info, probe, eRestart::Watched);
        return;
    }
    store().removeWatched(idx);
    operLog(msgGivenUp(info.name(), kMaxRestartFailures));
    // Given up: the instance is not started, and nothing is under way on it any more.
    store().updateIfUnowned(idx, probe.opSeq, [](struSimuRecord& r) {
        r.iState = eStateNotStarted;
        r.iPid = 0;
        r.iRestErrCnt = 0;
        r.iTime = -1;
    });
}

bool SimuDaemonObj::beginRestart(const SimuInfo& info, const struProbe& probe, eRestart kind)
{
    const QString idx = info.idx();
    // A watched instance keeps the pid of the process found, which the restart kills first.
    const int lingeringPid = kind == eRestart::Watched ? probe.pid : store().record(idx).iPid;
    const bool begun = store().beginOperation(
        idx,
        [&](struSimuRecord& rec) {
            rec.iState = eStateStarting;
            rec.iTime = -1;
            if (kind == eRestart::Watched)
                rec.iPid = probe.pid;
        },
        probe.opSeq);
    if (!begun)
        return false;
    if (kind == eRestart::Lost)
        operLog(msgLostRestarting(info.name()));
    ++m_iRestarts;
    m_pRestarts->setMaxThreadCount(AgentSettings::effectiveParallelStarts());
    m_pRestarts->start([this, guard = m_guard, info, kind, idx, lingeringPid] {
        const CCommResult r = restartAfterKill(idx, lingeringPid);
        if (!guard.post([this, info, kind, r] { restartEnded(info, kind, r); }))
            store().finishOperation(idx); // the watchdog is gone: the instance is free again
    });
    qCInfo(lcWatchdog).noquote()
        << QStringLiteral("restart of %1 begun, %2 under way").arg(idx).arg(m_iRestarts);
    return true;
}

void SimuDaemonObj::restartEnded(const SimuInfo& info, eRestart kind, const CCommResult& r)
{
    --m_iRestarts;
    const bool ok = r.iRet == 0;
    if (kind == eRestart::Lost)
        operLog(ok ? msgLostRestarted(info.name()) : msgLostRestartFailed(info.name()));
    else
        operLog(ok ? msgWatchedRestarted(info.name()) : msgWatchedRestartFailed(info.name()));
    if (!ok)
        qCWarning(lcWatchdog).noquote()
            << "restart of" << info.idx() << "failed:" << r.iRet << r.str << r.log;
    store().finishOperation(info.idx(), [&](struSimuRecord& rec) {
        rec.iState = ok ? int(eStateRunning) : int(eStateNotStarted);
        rec.iPid = ok ? r.iExtraRet : 0;
        rec.iTime = -1;
        // Only the daemon pass counts failed restarts.
        if (kind == eRestart::Watched)
            rec.iRestErrCnt = ok ? 0 : rec.iRestErrCnt + 1;
    });
}

bool SimuDaemonObj::waitRestarts(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (m_iRestarts > 0 && !deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return m_iRestarts == 0;
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

QHash<QString, SimuDaemonObj::struProbe> SimuDaemonObj::probeUnowned(const QVector<SimuInfo>& infos)
{
    // The probe itself may act (an LDPlayer instance listed as running but unreachable is closed),
    // so an instance under an operation is not even probed.
    QHash<QString, struProbe> probes;
    QVector<SimuInfo> unowned;
    for (const SimuInfo& info : infos) {
        const SimuStateStore::struEntry before = store().entry(info.idx());
        if (before.owned)
            continue;
        probes[info.idx()].opSeq = before.opSeq;
        unowned.append(info);
    }
    const QHash<QString, struRunState> states = SimuRunStates(unowned);
    for (auto it = probes.begin(); it != probes.end();) {
        const SimuStateStore::struEntry after = store().entry(it.key());
        const auto state = states.constFind(it.key());
        if (after.owned || after.opSeq != it->opSeq || state == states.constEnd()) {
            it = probes.erase(it);
            continue;
        }
        it->state = state->state;
        it->pid = state->pid;
        ++it;
    }
    return probes;
}

void SimuDaemonObj::checkInstances(const QVector<SimuInfo>& infos)
{
    const QHash<QString, struProbe> probes = probeUnowned(infos);
    for (const SimuInfo& info : infos) {
        const auto it = probes.constFind(info.idx());
        if (it != probes.constEnd())
            checkInstance(info, *it);
    }
}

void SimuDaemonObj::checkInstance(const SimuInfo& info, const struProbe& probe)
{
    if (probe.state == eRunStateRunning) {
        if (m_booting.take(info.idx()).logged)
            qCInfo(lcWatchdog).noquote() << QStringLiteral("\"%1\" (%2) is up, process %3 s old")
                                                .arg(info.name(), info.idx())
                                                .arg(platform::processAgeMs(probe.pid) / 1000.0, 0, 'f', 1);
        handleNewInstance(info, probe);
    } else if (probe.state == eRunStateStopped && !isStillBooting(info, probe.pid)) {
        handleLostInstance(info, probe);
    }
}

bool SimuDaemonObj::isStillBooting(const SimuInfo& info, int probedPid)
{
    const QString idx = info.idx();
    const qint64 pid = probedPid > 0 ? probedPid : store().record(idx).iPid;
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
            qCWarning(lcWatchdog).noquote()
                << QStringLiteral("\"%1\" (%2, process %3) still unreachable "
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
        qCInfo(lcWatchdog).noquote() << QStringLiteral("\"%1\" (%2, process %3) is booting, %4 s old; "
                                                       "left alone until %5 s")
                                            .arg(info.name(), idx)
                                            .arg(pid)
                                            .arg(ageMs / 1000.0, 0, 'f', 1)
                                            .arg(graceMs / 1000.0, 0, 'f', 1);
    }
    return true;
}

void SimuDaemonObj::handleNewInstance(const SimuInfo& info, const struProbe& probe)
{
    const QString idx = info.idx();
    if (store().record(idx).iState != eStateNotStarted)
        return; // the agent knows it
    const QStringList running = store().runningList();
    const int count = running.contains(idx) ? running.size() : running.size() + 1;
    if (AgentSettings::runLimit < count) {
        operLog(msgOverRunLimit(info.name()));
        const CCommResult r = SimuClose(idx, probe.pid);
        operLog(r.iRet == 0 ? msgClosedForRunLimit(info.name()) : msgCloseFailed(info.name()));
        return;
    }
    if (!store().updateIfUnowned(idx, probe.opSeq, foundState(eStateRunning, probe.pid)))
        return; // an operation took it while it was probed
    operLog(msgNewInstance(info.name()));
    if (AgentSettings::daemonModel == eDaemonOn)
        store().addWatched(idx);
}

void SimuDaemonObj::handleLostInstance(const SimuInfo& info, const struProbe& probe)
{
    const QString idx = info.idx();
    if (store().record(idx).iState == eStateNotStarted) {
        // Believed closed, yet a process lingers without an adb connection: end it. A stopped
        // LDPlayer instance is listed with pid -1, which names no process.
        if (probe.pid > 0 && ownsProcess(idx, probe.pid)) {
            qCWarning(lcWatchdog) << "without adb connection: killing process" << probe.pid << "of" << idx;
            killAndVerify(probe.pid);
        }
        return;
    }
    if (AgentSettings::daemonModel != eDaemonOn) {
        if (store().updateIfUnowned(idx, probe.opSeq, foundState(eStateNotStarted, 0)))
            operLog(msgLost(info.name()));
        return;
    }
    operLog(msgLost(info.name()));
    beginRestart(info, probe, eRestart::Lost);
}

// A pid from a listing or a stored record may name any process: only the product's own instance
// process of that instance is ever killed.
bool SimuDaemonObj::ownsProcess(const QString& idx, int pid)
{
    if (SimuOwnsProcess(idx, pid))
        return true;
    qCWarning(lcWatchdog).noquote() << QStringLiteral("process %1 given for \"%2\" is not its instance "
                                                      "process, left alone")
                                           .arg(pid)
                                           .arg(idx);
    return false;
}

bool SimuDaemonObj::killAndVerify(int pid)
{
    for (int attempt = 0; attempt < kKillAttempts; ++attempt) {
        qCDebug(lcWatchdog).noquote()
            << "CSimulatorLauncher close simu :" << QStringLiteral("taskkill /f /t /pid %1").arg(pid);
        platform::killProcessTree(pid);
        LauncherTuning::sleepStep();
        if (!platform::processAlive(pid))
            return true;
    }
    qCWarning(lcWatchdog).noquote() << "process" << pid << "survived" << kKillAttempts << "kills";
    return false;
}
