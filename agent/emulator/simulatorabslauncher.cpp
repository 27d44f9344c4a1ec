#include "simulatorabslauncher.h"

#include "adbbridge.h"
#include "adbshells.h"
#include "agentlogging.h"
#include "agentsettings.h"
#include "launchertuning.h"
#include "platform.h"
#include "resultcodes.h"
#include "screenshot.h"
#include "simuinfoxmlgainer.h"
#include "simunames.h"
#include "simusettings.h"
#include "simustatestore.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>

SimulatorAbsLauncher::SimulatorAbsLauncher(const QString& memuIdx) : m_memuIdx(memuIdx)
{
    // Entry points that concern no particular instance pass an empty index: nothing to look up.
    if (!memuIdx.isEmpty())
        SimuInfoXmlGainer().GetSimuInfo(memuIdx, m_info);
}

SimulatorAbsLauncher::~SimulatorAbsLauncher() = default;

CCommResult SimulatorAbsLauncher::StartupSimu(QProcess* process)
{
    CCommResult r = LaunchSimu(process);
    if (r.iRet == 0)
        r = GetAdbSerial();
    bool online = false;
    const QString serial = r.str;
    if (r.iRet == 0)
        r = WaitSimuOnline(serial, online);
    if (r.iRet == 0)
        r = WaitSimuScreen(serial, SimuSettings::screenshotBakPath(m_memuIdx));

    int pid = 0;
    if (r.iRet == 0) {
        pid = int(StartedSimuPid());
        r.iExtraRet = pid;
    } else {
        qCWarning(lcEmulator) << "SimulatorAbsLauncher::StartupSimu err then close";
        closeShell();
        const qint64 startedPid = StartedSimuPid();
        ShutdownSimu();
        if (startedPid > 0 && OwnsInstanceProcess(startedPid))
            CloseSimuProcess(int(startedPid));
        r.iExtraRet = 0;
    }
    SimuStateStore::instance().update(m_memuIdx, [pid](struSimuRecord& rec) {
        rec.iPid = pid;
        rec.iTime += 1;
    });
    return r;
}

int SimulatorAbsLauncher::GetSimuRunState(SimuInfo info, int& pid)
{
    const QHash<QString, struRunState> states = GetSimuRunStates({info});
    const auto it = states.constFind(info.idx());
    if (it == states.constEnd())
        return eRunStateStopped;
    if (it->pid != 0) // a product that does not know the pid leaves the caller's
        pid = it->pid;
    return it->state;
}

void SimulatorAbsLauncher::closeShell()
{
    if (m_info.adbPort() > 0)
        AdbShells::close(m_info.adbSerial());
}

CCommResult SimulatorAbsLauncher::CloseSimu(int pid)
{
    SimuStateStore::instance().removeWatched(m_memuIdx);
    closeShell();
    CCommResult r = ShutdownSimu();
    if (pid < 1) {
        pid = SimuStateStore::instance().record(m_memuIdx).iPid;
        if (pid < 1)
            return r.iRet == 0 ? VerifyNotListed() : r;
    }
    if (!OwnsInstanceProcess(pid)) {
        // Gone already, or not an instance of ours: only the product's listing can tell.
        if (platform::processAlive(pid))
            qCWarning(lcEmulator).noquote()
                << QStringLiteral("SimulatorAbsLauncher::CloseSimu: process %1 is not an "
                                  "instance process of %2, not killed")
                       .arg(pid)
                       .arg(m_memuIdx);
        SimuStateStore::instance().update(m_memuIdx, [](struSimuRecord& rec) { rec.iPid = 0; });
        return VerifyNotListed();
    }
    qCDebug(lcEmulator) << "SimulatorAbsLauncher::CloseSimu";
    r = CloseSimuProcess(pid);
    if (r.iRet != 0)
        return r;
    SimuStateStore::instance().update(m_memuIdx, [](struSimuRecord& rec) { rec.iPid = 0; });
    return VerifyNotListed();
}

CCommResult SimulatorAbsLauncher::CheckToolInDir(const QString& dir, const QString& tool,
                                                 const QString& product)
{
    if (QFileInfo(dir + QLatin1Char('/') + tool).isFile())
        return CCommResult();
    return CCommResult::failure(ResultCode::kWrongProductDir,
                                QStringLiteral("%1模拟器路径设置不正确,无法找到对应的模拟器。").arg(product));
}

CCommResult SimulatorAbsLauncher::VerifyNotListed()
{
    for (int check = 0; check < kListingChecks; ++check) {
        if (check > 0)
            LauncherTuning::sleepStep();
        QStringList running;
        if (GetRunningSimus(running).iRet != 0 || !running.contains(m_memuIdx))
            return CCommResult();
    }
    qCWarning(lcEmulator).noquote() << "SimulatorAbsLauncher::CloseSimu:" << m_memuIdx
                                    << "is still listed as running by its product";
    return CCommResult::failure(ResultCode::kCloseFailed, QStringLiteral("关闭模拟器失败"),
                                QStringLiteral("%1 is still listed as running").arg(m_memuIdx));
}

CCommResult SimulatorAbsLauncher::DeleteSimu(SimuInfo info)
{
    CCommResult r = CloseSimu(0);
    if (r.iRet == 0)
        r = DoDeleteSimu(info);
    return r;
}

CCommResult SimulatorAbsLauncher::RenameSimu(const QString& name)
{
    const CCommResult check = CheckTitle(name);
    if (check.iRet != 0) {
        qCInfo(lcEmulator).noquote() << "SimulatorAbsLauncher::RenameSimu:" << m_memuIdx << check.log;
        return check;
    }
    return DoRenameSimu(name);
}

CCommResult SimulatorAbsLauncher::CheckTitle(const QString& title)
{
    const QString problem = SimuNames::titleProblem(title);
    return problem.isEmpty() ? CCommResult() : SimuNames::refuseTitle(title, problem);
}

bool SimulatorAbsLauncher::OwnsInstanceProcess(qint64 pid)
{
    if (pid <= 0)
        return false;
    const std::vector<platform::Pid> pids = platform::pidsByImageName(InstanceImageName().toStdString());
    return std::find(pids.begin(), pids.end(), platform::Pid(pid)) != pids.end();
}

CCommResult SimulatorAbsLauncher::InstallApk(int adbPort, const QString& apkPath)
{
    const QString serial = QStringLiteral("127.0.0.1:%1").arg(adbPort);
    CCommResult r = AdbConnect(serial);
    if (r.iRet != 0)
        return r;
    bool online = false;
    r = AdbIsOnline(serial, online);
    if (r.iRet != 0)
        return r;
    if (!online)
        return CCommResult::failure(ResultCode::kDeviceOffline, QStringLiteral("设备不在线"));
    return AdbInstall(serial, apkPath);
}

CCommResult SimulatorAbsLauncher::IsPidExist(int pid, bool& alive)
{
    alive = platform::processAlive(pid);
    return CCommResult();
}

CCommResult SimulatorAbsLauncher::CloseSimuByPid(int pid)
{
    const QString command = QStringLiteral("taskkill /f /t /pid %1").arg(pid);
    qCDebug(lcEmulator) << "SimulatorAbsLauncher close simu :" << command;
    const bool gone = platform::killProcessTree(pid);
    qCDebug(lcEmulator) << "CloseSimuByPid readAllStandardError :"
                        << (gone ? QString() : QStringLiteral("still running"));
    qCDebug(lcEmulator) << "CloseSimuByPid readAllStandardOutput :"
                        << (gone ? QStringLiteral("terminated") : QString());
    return CCommResult();
}

CCommResult SimulatorAbsLauncher::CloseSimuProcess(int pid)
{
    CCommResult r;
    for (int attempt = 0; attempt < kCloseAttempts; ++attempt) {
        CloseSimuByPid(pid);
        LauncherTuning::sleepStep();
        bool alive = false;
        r = IsPidExist(pid, alive);
        if (r.iRet != 0 || !alive)
            return r;
        r = CCommResult::failure(ResultCode::kCloseFailed, QStringLiteral("关闭模拟器失败"));
    }
    return r;
}

CCommResult SimulatorAbsLauncher::GetAdbSerial()
{
    CCommResult r;
    r.str = m_info.adbSerial();
    return r;
}

CCommResult SimulatorAbsLauncher::WaitSimuOnline(const QString& serial, bool& online)
{
    const int attempts = AgentSettings::startupTimeout;
    CCommResult r;
    for (int i = 0; i < attempts; ++i) {
        LauncherTuning::sleepStep();
        online = false;
        r = AdbIsOnline(serial, online);
        if (r.iRet != 0)
            return r;
        if (online)
            return CCommResult();
        r = CCommResult::failure(ResultCode::kInstanceOffline, QStringLiteral("模拟器不在线"));
    }
    return r;
}

CCommResult SimulatorAbsLauncher::WaitSimuScreen(const QString& serial, const QString& filePath)
{
    const int attempts = AgentSettings::startupTimeout.value();
    CCommResult r;
    bool connected = false;
    bool rawWorks = true;
    for (int i = 0; i < attempts; ++i) {
        LauncherTuning::sleepStep();
        const Screenshot::struCapture c = Screenshot::capture(serial, filePath, connected, rawWorks);
        connected = c.connected;
        rawWorks = c.rawWorks;
        r = c.result;
        if (r.iRet == 0) {
            r.str.clear();
            r.log.clear();
            return r;
        }
        r.str = QStringLiteral("无法截图");
    }
    return r;
}

qint64 SimulatorAbsLauncher::StartedSimuPid()
{
    return m_launchedPid;
}

bool SimulatorAbsLauncher::launchDetached(QProcess* process, const QString& program, const QStringList& args)
{
    QProcess own;
    QProcess* p = process ? process : &own;
    p->setProgram(program);
    p->setArguments(args);
    // The instance must not hold the agent's console streams.
    p->setStandardInputFile(QProcess::nullDevice());
    p->setStandardOutputFile(QProcess::nullDevice());
    p->setStandardErrorFile(QProcess::nullDevice());
    qint64 pid = 0;
    const bool started = p->startDetached(&pid);
    m_launchedPid = started ? pid : 0;
    return started;
}

// ----------------------------------------------------------------------------------------------

CCommResult RunToolForOutput(const QString& program, const QStringList& args, int timeoutMs)
{
    CCommResult r;
    QProcess process;
    ToolProcess::run(process, program, args, LauncherTuning::toolTimeoutMs(timeoutMs));
    r.str = ToolProcess::decodeUtf8(process.readAllStandardOutput());
    r.log = ToolProcess::decodeUtf8(process.readAllStandardError());
    process.close();
    return r;
}

QString FindMEmuDir()
{
    return QString::fromStdString(platform::findMEmuDir());
}

QString FindLdPlayerDir()
{
    return QString::fromStdString(platform::findLdPlayerDir());
}
