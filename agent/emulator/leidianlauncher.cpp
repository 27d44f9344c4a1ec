#include "leidianlauncher.h"

#include "adbbridge.h"
#include "launcherfactory.h"
#include "launchertuning.h"
#include "leidiansimuinfogainer.h"
#include "resultcodes.h"
#include "simusettings.h"

#include <QDebug>
#include <QFileInfo>
#include <QProcess>

namespace {

constexpr int kFieldIndex = 0;
constexpr int kFieldRunning = 4;
constexpr int kFieldPid = 5;

QStringList fieldsOf(const QString& line)
{
    return line.split(QLatin1Char(','), Qt::SkipEmptyParts);
}

} // namespace

LeiDianLauncher::LeiDianLauncher(const QString& memuIdx) : SimulatorAbsLauncher(memuIdx) {}

QString LeiDianLauncher::consolePath(const QString& dir)
{
    return ToolProcess::nativeProgram(dir + QStringLiteral("/dnconsole.exe"));
}

CCommResult LeiDianLauncher::runConsole(const QStringList& args)
{
    QProcess process;
    ToolProcess::run(process, consolePath(SimuSettings::getDir().str), args, LauncherTuning::toolTimeoutMs());
    process.close();
    return CCommResult();
}

CCommResult LeiDianLauncher::LaunchSimu(QProcess* process)
{
    const CCommResult r = SimuSettings::getDir();
    if (!launchDetached(process, consolePath(r.str),
                        {QStringLiteral("launch"), QStringLiteral("--index"), m_memuIdx}))
        qWarning() << "LeiDianLauncher::LaunchSimu: could not start" << consolePath(r.str);
    return codeOnly(r);
}

CCommResult LeiDianLauncher::ShutdownSimu()
{
    return runConsole({QStringLiteral("quit"), QStringLiteral("--index"), m_memuIdx});
}

CCommResult LeiDianLauncher::DoRenameSimu(const QString& name)
{
    // The title is one argument, blanks included.
    return runConsole(
        {QStringLiteral("rename"), QStringLiteral("--index"), m_memuIdx, QStringLiteral("--title"), name});
}

CCommResult LeiDianLauncher::DoDeleteSimu(SimuInfo info)
{
    Q_UNUSED(info)
    return runConsole({QStringLiteral("remove"), QStringLiteral("--index"), m_memuIdx});
}

CCommResult LeiDianLauncher::CreateSimu(SimuInfo info)
{
    Q_UNUSED(info)
    return runConsole({QStringLiteral("add")});
}

CCommResult LeiDianLauncher::ListSimusByConsole(QStringList& lines)
{
    const CCommResult dir = SimuSettings::getDir();
    lines = LeiDianSimuInfoGainer::RunList2(dir.str);
    CCommResult r;
    r.iRet = dir.iRet;
    return r;
}

CCommResult LeiDianLauncher::GetRunningSimus(QStringList& memuIdxs)
{
    QStringList lines;
    const CCommResult r = ListSimusByConsole(lines);
    if (r.iRet != 0)
        return r;
    for (const QString& line : qAsConst(lines)) {
        const QStringList fields = fieldsOf(line);
        // A line too short to say whether it runs counts as not running.
        if (fields.size() > kFieldRunning && fields.at(kFieldRunning) == QLatin1String("1"))
            memuIdxs.append(fields.at(kFieldIndex));
    }
    return CCommResult();
}

CCommResult LeiDianLauncher::CheckSimuPath(const QString& dir)
{
    if (QFileInfo(dir + QStringLiteral("/dnconsole.exe")).isFile())
        return CCommResult();
    return CCommResult::failure(ResultCode::kWrongProductDir,
                                QStringLiteral("雷电模拟器路径设置不正确,无法找到对应的模拟器。"));
}

int LeiDianLauncher::GetSimuRunState(SimuInfo info, int& pid)
{
    QStringList lines;
    if (ListSimusByConsole(lines).iRet != 0)
        return eRunStateStopped;
    const QString idx = info.idx();
    for (const QString& line : qAsConst(lines)) {
        const QStringList fields = fieldsOf(line);
        if (fields.isEmpty() || fields.at(kFieldIndex) != idx)
            continue;
        if (fields.size() <= kFieldPid)
            return eRunStateStopped; // too short to be read: not running
        bool ok = false;
        const int listedPid = fields.at(kFieldPid).toInt(&ok, 10);
        pid = ok ? listedPid : 0;
        if (fields.at(kFieldRunning) != QLatin1String("1"))
            return eRunStateStopped;
        bool online = false;
        AdbIsOnline(info.adbSerial(), online);
        // Running but unreachable: closed so that it can be started again, unless it is still
        // booting (adb answers an instance only once Android is up).
        if (!online && !LauncherTuning::isBooting(pid))
            SimuClose(idx, 0);
        return online ? eRunStateRunning : eRunStateStopped;
    }
    return eRunStateStopped;
}

qint64 LeiDianLauncher::StartedSimuPid()
{
    QStringList lines;
    ListSimusByConsole(lines);
    for (const QString& line : qAsConst(lines)) {
        const QStringList fields = fieldsOf(line);
        if (fields.size() > kFieldPid && fields.at(kFieldIndex) == m_memuIdx) {
            const qint64 pid = fields.at(kFieldPid).toLongLong();
            if (pid > 0)
                return pid;
        }
    }
    return SimulatorAbsLauncher::StartedSimuPid();
}
