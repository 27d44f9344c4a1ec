#include "xiaoyaolauncher.h"

#include "adbbridge.h"
#include "launchertuning.h"
#include "platform.h"
#include "resultcodes.h"
#include "simunames.h"
#include "simusettings.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

namespace {

const char* const kWindowClass = "Qt5QWindowIcon";

} // namespace

XiaoYaoLauncher::XiaoYaoLauncher(const QString& memuIdx) : SimulatorAbsLauncher(memuIdx) {}

QString XiaoYaoLauncher::GetManageExePath()
{
    // The folder one level above the install folder, whether or not it exists.
    const QString parent = QDir::cleanPath(SimuSettings::getDir().str + QStringLiteral("/.."));
    return parent + QStringLiteral("/MEmuHyperv/MEmuManage.exe");
}

CCommResult XiaoYaoLauncher::LaunchSimu(QProcess* process)
{
    const CCommResult r = SimuSettings::getDir();
    const QString program = ToolProcess::nativeProgram(r.str + QStringLiteral("/MEmu.exe"));
    qWarning() << "startup Simu cmd:" << QStringLiteral("\"%1\" %2").arg(program, m_memuIdx);
    if (!launchDetached(process, program, {m_memuIdx}))
        qWarning() << "startup Simu: could not start" << program;
    return codeOnly(r);
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
    const QString dir = SimuSettings::getDir().str;
    const QString console = ToolProcess::nativeProgram(dir + QStringLiteral("/MemuConsole.exe"));
    // The instance console stays open for the user after the call.
    QProcess open;
    open.setProgram(console);
    open.setStandardInputFile(QProcess::nullDevice());
    open.setStandardOutputFile(QProcess::nullDevice());
    open.setStandardErrorFile(QProcess::nullDevice());
    if (!open.startDetached())
        qWarning() << "XiaoYaoLauncher::CreateSimu: could not open" << console;
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
    if (QFileInfo(dir + QStringLiteral("/MEmu.exe")).isFile())
        return CCommResult();
    return CCommResult::failure(ResultCode::kWrongProductDir,
                                QStringLiteral("逍遥模拟器路径设置不正确,无法找到对应的模拟器。"));
}

QString XiaoYaoLauncher::InstanceImageName() const
{
    return QStringLiteral("MEmu.exe");
}

int XiaoYaoLauncher::GetSimuRunState(SimuInfo info, int& pid)
{
    // Without a name any untitled window of the class would match.
    if (info.name().isEmpty())
        return eRunStateStopped;
    const platform::WindowProbe window =
        platform::findTopLevelWindow(kWindowClass, info.name().toUtf8().toStdString());
    if (!window.found)
        return eRunStateStopped;
    pid = int(window.pid);
    if (window.hung)
        return eRunStateHung;
    bool online = false;
    AdbIsOnline(info.adbSerial(), online);
    return online ? eRunStateRunning : eRunStateStopped;
}
