#include "xiaoyaolauncher.h"

#include "adbbridge.h"
#include "agentlogging.h"
#include "agentsettings.h"
#include "launchertuning.h"
#include "platform.h"
#include "resultcodes.h"
#include "simunames.h"
#include "simusettings.h"

#include <QDebug>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>

namespace {

const char* const kWindowClass = "Qt5QWindowIcon";

} // namespace

XiaoYaoLauncher::XiaoYaoLauncher(const QString& memuIdx) : SimulatorAbsLauncher(memuIdx) {}

QString XiaoYaoLauncher::GetManageExePath()
{
    // The folder one level above the install folder, whether or not it exists.
    const QString parent = QDir::cleanPath(AgentSettings::dir.value() + QStringLiteral("/.."));
    return parent + QStringLiteral("/MEmuHyperv/MEmuManage.exe");
}

CCommResult XiaoYaoLauncher::LaunchSimu(QProcess* process)
{
    const QString program =
        ToolProcess::nativeProgram(AgentSettings::dir.value() + QStringLiteral("/MEmu.exe"));
    qCInfo(lcEmulator) << "startup Simu cmd:" << QStringLiteral("\"%1\" %2").arg(program, m_memuIdx);
    if (!launchDetached(process, program, {m_memuIdx}))
        qCWarning(lcEmulator) << "startup Simu: could not start" << program;
    return CCommResult();
}

CCommResult XiaoYaoLauncher::ShutdownSimu()
{
    QProcess process;
    ToolProcess::run(process, ToolProcess::nativeProgram(GetManageExePath()),
                     {QStringLiteral("controlvm"), m_memuIdx, QStringLiteral("poweroff")},
                     LauncherTuning::toolTimeoutMs(kShutdownWaitMs));
    process.close();
    return CCommResult();
}

CCommResult XiaoYaoLauncher::DoRenameSimu(const QString& name)
{
    Q_UNUSED(name)
    return CCommResult::failure(ResultCode::kRenameUnsupported, QStringLiteral("暂不支持逍遥模拟器重命名"));
}

CCommResult XiaoYaoLauncher::DoDeleteSimu(SimuInfo info)
{
    const CCommResult r =
        RunToolForOutput(ToolProcess::nativeProgram(GetManageExePath()),
                         {QStringLiteral("unregistervm"), info.idx(), QStringLiteral("--delete")},
                         LauncherTuning::kToolTimeoutMs);
    // The manager reports its progress on the error stream; only a full run deletes the machine.
    if (r.log.contains(QLatin1String("100%")))
        return CCommResult();
    if (r.log.contains(QLatin1String("locked")))
        return CCommResult::failure(ResultCode::kCloseRefused, QStringLiteral("模拟器被锁定"),
                                    QStringLiteral("模拟器被锁定"));
    return CCommResult::failure(ResultCode::kCloseRefused, QStringLiteral("模拟关闭失败"),
                                QStringLiteral("模拟器关闭进程未到100%"));
}

CCommResult XiaoYaoLauncher::CreateSimu(SimuInfo info)
{
    Q_UNUSED(info)
    const QString dir = AgentSettings::dir.value();
    const QString console = ToolProcess::nativeProgram(dir + QStringLiteral("/MemuConsole.exe"));
    // The instance console stays open for the user after the call.
    QProcess open;
    open.setProgram(console);
    open.setStandardInputFile(QProcess::nullDevice());
    open.setStandardOutputFile(QProcess::nullDevice());
    open.setStandardErrorFile(QProcess::nullDevice());
    if (!open.startDetached())
        qCWarning(lcEmulator) << "XiaoYaoLauncher::CreateSimu: could not open" << console;
    return RunToolForOutput(console, {QStringLiteral("create")}, LauncherTuning::kToolTimeoutMs);
}

QString XiaoYaoLauncher::runningVmIndex(const QString& line)
{
    static const QRegularExpression re(QStringLiteral("^\"([^\"]*)\" \\{[0-9A-Fa-f-]+\\}$"));
    const QRegularExpressionMatch m = re.match(line);
    const QString idx = m.hasMatch() ? m.captured(1) : QString();
    return SimuNames::isMEmuIdx(idx) ? idx : QString();
}

CCommResult XiaoYaoLauncher::GetRunningSimus(QStringList& memuIdxs)
{
    ++m_runningCalls;
    QProcess process;
    ToolProcess::run(process, ToolProcess::nativeProgram(GetManageExePath()),
                     {QStringLiteral("list"), QStringLiteral("runningvms")}, LauncherTuning::toolTimeoutMs());
    const QString out = ToolProcess::decodeUtf8(process.readAllStandardOutput());
    process.close();
    for (QString line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const QString idx = runningVmIndex(line);
        if (!idx.isEmpty())
            memuIdxs.append(idx);
    }
    return CCommResult();
}

CCommResult XiaoYaoLauncher::CheckSimuPath(const QString& dir)
{
    return CheckToolInDir(dir, QStringLiteral("MEmu.exe"), QStringLiteral("逍遥"));
}

QString XiaoYaoLauncher::InstanceImageName() const
{
    return QStringLiteral("MEmu.exe");
}

QHash<QString, struRunState> XiaoYaoLauncher::GetSimuRunStates(const QVector<SimuInfo>& infos)
{
    QHash<QString, struRunState> states;
    AdbDeviceList devices;
    for (const SimuInfo& info : infos) {
        struRunState s;
        // Without a name any untitled window of the class would match.
        const platform::WindowProbe window =
            info.name().isEmpty()
                ? platform::WindowProbe()
                : platform::findTopLevelWindow(kWindowClass, info.name().toUtf8().toStdString());
        if (window.found) {
            s.pid = int(window.pid);
            s.state = window.hung ? eRunStateHung : eRunStateStopped;
            if (!window.hung) {
                const bool online = devices.isOnline(info.adbSerial());
                if (!devices.known())
                    continue;
                s.state = online ? eRunStateRunning : eRunStateStopped;
            }
        }
        states.insert(info.idx(), s);
    }
    return states;
}
