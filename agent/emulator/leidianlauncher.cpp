#include "leidianlauncher.h"

#include "adbbridge.h"
#include "agentlogging.h"
#include "agentsettings.h"
#include "launcherfactory.h"
#include "launchertuning.h"
#include "ldlisting.h"
#include "resultcodes.h"
#include "simunames.h"
#include "simusettings.h"

#include <QDebug>
#include <QProcess>

LeiDianLauncher::LeiDianLauncher(const QString& memuIdx) : SimulatorAbsLauncher(memuIdx) {}

QString LeiDianLauncher::consolePath(const QString& dir)
{
    return ToolProcess::nativeProgram(dir + QStringLiteral("/dnconsole.exe"));
}

CCommResult LeiDianLauncher::runConsole(const QStringList& args)
{
    QProcess process;
    ToolProcess::run(process, consolePath(AgentSettings::dir.value()), args, LauncherTuning::toolTimeoutMs());
    process.close();
    return CCommResult();
}

CCommResult LeiDianLauncher::LaunchSimu(QProcess* process)
{
    const QString program = consolePath(AgentSettings::dir);
    if (!launchDetached(process, program, {QStringLiteral("launch"), QStringLiteral("--index"), m_memuIdx}))
        qCWarning(lcEmulator) << "LeiDianLauncher::LaunchSimu: could not start" << program;
    return CCommResult();
}

CCommResult LeiDianLauncher::ShutdownSimu()
{
    return runConsole({QStringLiteral("quit"), QStringLiteral("--index"), m_memuIdx});
}

CCommResult LeiDianLauncher::CheckTitle(const QString& title)
{
    // The listing separates its fields with commas.
    const QString problem = SimuNames::titleProblem(title, QStringLiteral(","));
    return problem.isEmpty() ? CCommResult() : SimuNames::refuseTitle(title, problem);
}

// The title is one argument, blanks included. The tool's exit status says little, so the rename is
// done only when the listing then shows the instance with its new title.
CCommResult LeiDianLauncher::DoRenameSimu(const QString& name)
{
    QProcess process;
    const QString program = consolePath(AgentSettings::dir.value());
    const bool started = ToolProcess::run(
        process, program,
        {QStringLiteral("rename"), QStringLiteral("--index"), m_memuIdx, QStringLiteral("--title"), name},
        LauncherTuning::toolTimeoutMs());
    const QString toolSaid = ToolProcess::decodeUtf8(process.readAllStandardError()).trimmed();
    const bool finished = started && process.state() == QProcess::NotRunning;
    const int exitCode = finished ? process.exitCode() : -1;
    process.close();
    QVector<struLdListEntry> entries;
    ListSimusByConsole(entries);
    const struLdListEntry* pEntry = LdListing::find(entries, m_memuIdx);
    if (started && pEntry && pEntry->title == name)
        return CCommResult();
    const QString why = !started    ? QStringLiteral("%1 could not be started").arg(program)
                        : !finished ? QStringLiteral("%1 did not finish in time").arg(program)
                        : !pEntry
                            ? QStringLiteral("instance %1 is not listed").arg(m_memuIdx)
                            : QStringLiteral("the listing still shows \"%1\" (exit code %2%3)")
                                  .arg(pEntry->title)
                                  .arg(exitCode)
                                  .arg(toolSaid.isEmpty() ? QString() : QStringLiteral(": ") + toolSaid);
    qCWarning(lcEmulator).noquote() << "LeiDianLauncher::DoRenameSimu:" << m_memuIdx << why;
    return CCommResult::failure(ResultCode::kRenameFailed, QStringLiteral("重命名失败"), why);
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

CCommResult LeiDianLauncher::ListSimusByConsole(QVector<struLdListEntry>& entries)
{
    entries = LdListing::run(AgentSettings::dir).entries;
    return CCommResult();
}

CCommResult LeiDianLauncher::GetRunningSimus(QStringList& memuIdxs)
{
    QVector<struLdListEntry> entries;
    const CCommResult r = ListSimusByConsole(entries);
    if (r.iRet != 0)
        return r;
    for (const struLdListEntry& entry : qAsConst(entries)) {
        if (entry.running)
            memuIdxs.append(entry.idx);
    }
    return CCommResult();
}

CCommResult LeiDianLauncher::CheckSimuPath(const QString& dir)
{
    return CheckToolInDir(dir, QStringLiteral("dnconsole.exe"), QStringLiteral("雷电"));
}

QHash<QString, struRunState> LeiDianLauncher::GetSimuRunStates(const QVector<SimuInfo>& infos)
{
    QHash<QString, struRunState> states;
    QVector<struLdListEntry> entries;
    if (ListSimusByConsole(entries).iRet != 0)
        return states;
    AdbDeviceList devices;
    for (const SimuInfo& info : infos) {
        const struLdListEntry* pEntry = LdListing::find(entries, info.idx());
        struRunState s;
        s.pid = pEntry ? int(pEntry->pid) : 0;
        if (pEntry && pEntry->running) {
            const bool online = devices.isOnline(info.adbSerial());
            if (!devices.known())
                continue;
            s.state = online ? eRunStateRunning : eRunStateStopped;
            // Running but unreachable: closed so that it can be started again, unless it is still
            // booting (adb answers an instance only once Android is up).
            if (!online && !LauncherTuning::isBooting(s.pid))
                SimuClose(info.idx(), 0);
        }
        states.insert(info.idx(), s);
    }
    return states;
}

qint64 LeiDianLauncher::StartedSimuPid()
{
    QVector<struLdListEntry> entries;
    ListSimusByConsole(entries);
    const struLdListEntry* pEntry = LdListing::find(entries, m_memuIdx);
    if (pEntry && pEntry->pid > 0)
        return pEntry->pid;
    return SimulatorAbsLauncher::StartedSimuPid();
}

QString LeiDianLauncher::InstanceImageName() const
{
    return QStringLiteral("dnplayer.exe");
}

// A pid that the listing gives to another instance as well is not this instance's to kill.
bool LeiDianLauncher::OwnsInstanceProcess(qint64 pid)
{
    if (!SimulatorAbsLauncher::OwnsInstanceProcess(pid))
        return false;
    QVector<struLdListEntry> entries;
    ListSimusByConsole(entries);
    for (const struLdListEntry& entry : qAsConst(entries)) {
        if (entry.pid == pid && entry.idx != m_memuIdx) {
            qCWarning(lcEmulator).noquote()
                << QStringLiteral("LeiDianLauncher: process %1 is listed for instance %2 "
                                  "too, not killed for %3")
                       .arg(pid)
                       .arg(entry.idx, m_memuIdx);
            return false;
        }
    }
    return true;
}
