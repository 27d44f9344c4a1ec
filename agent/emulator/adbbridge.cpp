#include "adbbridge.h"

#include "launchertuning.h"
#include "resultcodes.h"
#include "simusettings.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace {

constexpr int kAdbSeconds = 60;

} // namespace

namespace AdbBridge {

QString adbProgram()
{
    return ToolProcess::nativeProgram(SimuSettings::adbPath());
}

int installTimeoutSeconds(qint64 apkBytes)
{
    return int(qMax<qint64>(0, apkBytes) / 1000000) * 2 + kAdbSeconds;
}

bool listsOnline(const QString& devicesOutput, const QString& serial)
{
    const QString wanted = serial + QStringLiteral("\tdevice");
    // Lines end in "\r\n" (or a bare "\n").
    const QStringList lines = devicesOutput.split(QLatin1Char('\n'), Qt::KeepEmptyParts);
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line == wanted)
            return true;
    }
    return false;
}

} // namespace AdbBridge

CCommResult RunAdbCmd(const QStringList& args, int seconds)
{
    CCommResult r;
    const int timeoutMs = LauncherTuning::adbTimeoutMs(seconds);
    QProcess process;
    process.start(AdbBridge::adbProgram(), args, QIODevice::ReadWrite);
    if (process.waitForStarted(timeoutMs)) {
        r.iExtraRet = int(process.processId());
        process.waitForFinished(timeoutMs);
    }
    const QString out = ToolProcess::decodeUtf8(process.readAllStandardOutput());
    const QString err = ToolProcess::decodeUtf8(process.readAllStandardError());
    if (!err.isEmpty()) {
        r.iRet = 22;
        r.str = err;
        r.log = out;
    } else {
        r.str = out;
    }
    process.close();
    return r;
}

CCommResult AdbStartServer()
{
    return RunAdbCmd({QStringLiteral("start-server")}, kAdbSeconds);
}

CCommResult AdbKillServer()
{
    return RunAdbCmd({QStringLiteral("kill-server")}, kAdbSeconds);
}

CCommResult AdbConnect(const QString& serial)
{
    CCommResult r = RunAdbCmd({QStringLiteral("connect"), serial}, kAdbSeconds);
    if (r.iRet == 0 && r.str.contains(QLatin1String("unable"))) {
        r.iRet = 25;
        r.log = r.str;
        r.str = QStringLiteral("执行connect命令失败");
    }
    return r;
}

CCommResult AdbIsOnline(const QString& serial, bool& online)
{
    CCommResult r = RunAdbCmd({QStringLiteral("devices")}, kAdbSeconds);
    if (r.iRet == 0)
        online = AdbBridge::listsOnline(r.str, serial);
    return r;
}

CCommResult AdbScreencap(const QString& serial, const QString& devicePath)
{
    return RunAdbCmd({QStringLiteral("-s"), serial, QStringLiteral("shell"),
                      QStringLiteral("/system/bin/screencap"), QStringLiteral("-p"), devicePath},
                     kAdbSeconds);
}

CCommResult AdbPull(const QString& serial, const QString& devicePath, const QString& localPath)
{
    CCommResult r = RunAdbCmd({QStringLiteral("-s"), serial, QStringLiteral("pull"), devicePath,
                               QDir::toNativeSeparators(localPath)},
                              kAdbSeconds);
    if (!r.str.isEmpty())
        r.iRet = 0; // adb reports transfers on its error stream: the pulled file decides
    return r;
}

CCommResult AdbInstall(const QString& serial, const QString& apkPath)
{
    const int seconds = AdbBridge::installTimeoutSeconds(QFileInfo(apkPath).size());
    CCommResult r = RunAdbCmd({QStringLiteral("-s"), serial, QStringLiteral("install"), QStringLiteral("-r"),
                               QStringLiteral("-d"), QDir::toNativeSeparators(apkPath)},
                              seconds);
    if (r.str.isEmpty() && r.log.isEmpty()) {
        qWarning() << "install err,cRet.str" << r.str << "; cRet.iRet" << r.iRet;
        const QString text = QStringLiteral("安装失败，执行cmd命令无返回值");
        return CCommResult::failure(ResultCode::kAdbFailed, text, text);
    }
    // adb prints its verdict on the output stream, which RunAdbCmd leaves in str when the error
    // stream was empty and in log otherwise: judge both.
    const QString output = r.iRet == 0 ? r.str : r.log;
    const QString both = r.str + QLatin1Char('\n') + r.log;
    if (both.contains(QLatin1String("Success"))) {
        r.iRet = 0;
        r.str = QStringLiteral("安装成功");
        r.log = r.str;
    } else if (both.contains(QLatin1String("ALREADY_EXISTS"))) {
        r.iRet = 20;
        r.str = QStringLiteral("已经安装过了");
        if (r.log.isEmpty())
            r.log = output;
    } else {
        r.log = r.str;
        r.iRet = 19;
        r.str = QStringLiteral("安装失败");
    }
    return r;
}
