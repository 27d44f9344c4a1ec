#include "launcherfactory.h"

#include "leidianlauncher.h"
#include "simusettings.h"
#include "xiaoyaolauncher.h"

CCommResult CreateLauncher(int simuType, const QString& memuIdx,
                           std::unique_ptr<SimulatorAbsLauncher>& launcher)
{
    launcher.reset();
    switch (simuType) {
    case eProductMEmu:
        launcher = std::make_unique<XiaoYaoLauncher>(memuIdx);
        return CCommResult();
    case eProductLdPlayer:
        launcher = std::make_unique<LeiDianLauncher>(memuIdx);
        return CCommResult();
    default:
        return CCommResult::failure(kNoLauncherCode, QStringLiteral("启动器没有对象"));
    }
}

CCommResult CreateLauncher(const QString& memuIdx, std::unique_ptr<SimulatorAbsLauncher>& launcher)
{
    return CreateLauncher(SimuSettings::getSimuType().iExtraRet, memuIdx, launcher);
}

namespace {

template <typename Op> CCommResult withLauncher(const QString& memuIdx, Op op)
{
    std::unique_ptr<SimulatorAbsLauncher> launcher;
    const CCommResult r = CreateLauncher(memuIdx, launcher);
    if (r.iRet != 0)
        return r;
    return op(*launcher);
}

} // namespace

CCommResult SimuStartup(const QString& memuIdx, QProcess* process)
{
    return withLauncher(memuIdx, [process](SimulatorAbsLauncher& l) { return l.StartupSimu(process); });
}

CCommResult SimuClose(const QString& memuIdx, int pid)
{
    return withLauncher(memuIdx, [pid](SimulatorAbsLauncher& l) { return l.CloseSimu(pid); });
}

CCommResult SimuShutdown(const QString& memuIdx)
{
    return withLauncher(memuIdx, [](SimulatorAbsLauncher& l) { return l.ShutdownSimu(); });
}

CCommResult SimuInstallApk(const QString& memuIdx, int adbPort, const QString& apkPath)
{
    return withLauncher(memuIdx, [&](SimulatorAbsLauncher& l) { return l.InstallApk(adbPort, apkPath); });
}

CCommResult SimuListRunning(QStringList& memuIdxs)
{
    return withLauncher(QString(), [&](SimulatorAbsLauncher& l) { return l.GetRunningSimus(memuIdxs); });
}

CCommResult SimuCreate(const SimuInfo& info)
{
    return withLauncher(QString(), [&](SimulatorAbsLauncher& l) { return l.CreateSimu(info); });
}

CCommResult SimuDelete(const SimuInfo& info)
{
    return withLauncher(info.idx(), [&](SimulatorAbsLauncher& l) { return l.DeleteSimu(info); });
}

CCommResult SimuRename(const QString& memuIdx, const QString& name)
{
    return withLauncher(memuIdx, [&](SimulatorAbsLauncher& l) { return l.RenameSimu(name); });
}

bool SimuOwnsProcess(const QString& memuIdx, qint64 pid)
{
    std::unique_ptr<SimulatorAbsLauncher> launcher;
    return CreateLauncher(memuIdx, launcher).iRet == 0 && launcher->OwnsInstanceProcess(pid);
}

int SimuRunState(const SimuInfo& info, int& pid)
{
    std::unique_ptr<SimulatorAbsLauncher> launcher;
    const CCommResult r = CreateLauncher(QString(), launcher);
    if (r.iRet != 0)
        return r.iRet;
    return launcher->GetSimuRunState(info, pid);
}
