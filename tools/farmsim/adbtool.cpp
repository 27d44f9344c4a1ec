// adb: the device list, connect, and the shell, exec-out, pull and install commands the agent uses.
#include "adbdevice.h"
#include "farm.h"
#include "tools.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

namespace farmsim {

namespace {

const QByteArray kDaemonStart = "* daemon not running; starting now at tcp:5037\r\n"
                                "* daemon started successfully\r\n";

struct AdbCall
{
    QString serial;
    QStringList args; // command and its arguments, options before it removed
};

AdbCall parseCall(const QStringList& raw)
{
    AdbCall c;
    int i = 0;
    while (i < raw.size() && raw.at(i).startsWith('-') && raw.at(i).size() == 2) {
        if (raw.at(i) == "-s" && i + 1 < raw.size())
            c.serial = raw.at(++i);
        ++i;
    }
    c.args = raw.mid(i);
    return c;
}

int portOfSerial(const QString& serial)
{
    const int colon = serial.lastIndexOf(':');
    const QString host = serial.left(colon);
    if (colon < 0 || (host != "127.0.0.1" && host != "localhost"))
        return -1;
    bool ok = false;
    const int port = serial.mid(colon + 1).toInt(&ok);
    return ok ? port : -1;
}

QString serialOf(const Farm& farm, int i)
{
    return QStringLiteral("127.0.0.1:%1").arg(farm.instance(i).value("port").toInt());
}

int adbError(const QString& text, int code = 1)
{
    errLine(text);
    return code;
}

// The adb server starts on demand, announcing itself on the error stream as adb does.
void serverUp(Farm& farm, bool announce)
{
    if (farm.root().value("adbServer").toBool(true))
        return;
    if (announce)
        writeErr(kDaemonStart);
    if (beginFarm(farm, kAdbExe)) {
        farm.root().insert("adbServer", true);
        commitFarm(farm, kAdbExe);
    }
}

// The instance the call addresses: by serial, or the only running one. -1 with the reason printed.
int resolveDevice(const Farm& farm, const QString& serial)
{
    if (serial.isEmpty()) {
        int found = -1;
        for (int i = 0; i < farm.count(); ++i) {
            if (!farm.isRunning(i))
                continue;
            if (found >= 0)
                return adbError(QStringLiteral("adb: more than one device/emulator"), -1);
            found = i;
        }
        if (found < 0)
            return adbError(QStringLiteral("adb: no devices/emulators found"), -1);
        return found;
    }
    const int i = farm.findPort(portOfSerial(serial));
    if (i < 0 || !farm.isRunning(i))
        return adbError(QStringLiteral("adb: device '%1' not found").arg(serial), -1);
    return i;
}

// Like resolveDevice, and the device must have finished booting.
int onlineDevice(const Farm& farm, const QString& serial)
{
    const int i = resolveDevice(farm, serial);
    if (i < 0)
        return -1;
    if (!farm.isBooted(i))
        return adbError(QStringLiteral("adb: device offline"), -1);
    return i;
}

// Noise set for one instance only (the farm-wide kind is written once per call).
void instanceNoise(const Farm& farm, int i)
{
    if (i >= 0 && farm.knobBool(i, "adbNoise") && !farm.knobBool(-1, "adbNoise"))
        errLine(QStringLiteral("adb: warning: device %1 reported a transport hiccup").arg(serialOf(farm, i)));
}

int devices(const Farm& farm)
{
    QString out = QStringLiteral("List of devices attached\r\n");
    for (int i = 0; i < farm.count(); ++i) {
        if (farm.isRunning(i))
            out += serialOf(farm, i) + (farm.isBooted(i) ? "\tdevice\r\n" : "\toffline\r\n");
    }
    writeOut((out + "\r\n").toUtf8());
    return 0;
}

int connect(const Farm& farm, const QString& target)
{
    const int i = farm.findPort(portOfSerial(target));
    instanceNoise(farm, i);
    if (i < 0 || !farm.isRunning(i)) {
        outLine(QStringLiteral("unable to connect to %1: cannot connect to %1: Connection refused (10061)")
                    .arg(target));
        return 1;
    }
    outLine(QStringLiteral("connected to %1").arg(serialOf(farm, i)));
    return 0;
}

// "exec-out screencap [-p]": the frame straight to standard output, as a PNG with -p, else raw.
int execOut(const Farm& farm, int i, const QStringList& cmd)
{
    if (cmd.value(0) != "/system/bin/screencap" && cmd.value(0) != "screencap")
        return adbError(QStringLiteral("/system/bin/sh: %1: not found").arg(cmd.value(0)), 127);
    const QString mode = farm.knobText(i, "screencap");
    if (mode == "empty")
        return 0;
    if (mode == "garbage") {
        writeOut("this is no picture: the frame buffer could not be read\n");
        return 0;
    }
    const QImage screen = screenOf(farm, i);
    writeOut(cmd.contains(QStringLiteral("-p")) ? pngBytes(screen) : rawFrameBytes(screen));
    return 0;
}

int pull(const Farm& farm, int i, const QString& remote, QString local)
{
    const QString src = devicePath(farm, i, remote);
    if (!QFileInfo(src).isFile())
        return adbError(
            QStringLiteral("adb: error: failed to stat remote object '%1': No such file or directory")
                .arg(remote));
    if (QFileInfo(local).isDir())
        local = local + '/' + QFileInfo(remote).fileName();
    QElapsedTimer t;
    t.start();
    QFile::remove(local);
    if (!QFile::copy(src, local))
        return adbError(QStringLiteral("adb: error: cannot create '%1': Permission denied").arg(local));
    const qint64 size = QFileInfo(local).size();
    const double secs = qMax<qint64>(t.nsecsElapsed(), 1000) / 1e9;
    errLine(QStringLiteral("[100%] %1").arg(remote));
    outLine(QStringLiteral("%1: 1 file pulled, 0 skipped. %2 MB/s (%3 bytes in %4s)")
                .arg(remote)
                .arg(size / secs / 1e6, 0, 'f', 1)
                .arg(size)
                .arg(secs, 0, 'f', 3));
    return 0;
}

// The SHA-1 of a file in hex, so that a test can tell exactly what was installed.
QString fileSha1(const QString& path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha1);
    if (file.open(QIODevice::ReadOnly))
        hash.addData(&file);
    return QString::fromLatin1(hash.result().toHex());
}

// "Performing Streamed Install" then "Success", or a "Failure [...]" line that adb repeats on its
// error stream.
int install(Farm& farm, int i, const QStringList& args)
{
    const QString apk = args.isEmpty() ? QString() : args.last();
    const bool replace = args.contains(QStringLiteral("-r"));
    const QFileInfo fi(apk);
    if (apk.isEmpty() || apk.startsWith('-') || !fi.isFile())
        return adbError(QStringLiteral("adb: failed to stat %1: No such file or directory").arg(apk));
    const QString idx = farm.instance(i).value("index").toString();
    const QString mode = farm.knobText(i, "install");
    bool already = false;
    for (const QJsonValue& v : farm.instance(i).value("installed").toArray())
        already = already || v.toObject().value("apk").toString() == fi.fileName();

    QString failure;
    if (mode == "exists" || (already && !replace))
        failure = QStringLiteral("INSTALL_FAILED_ALREADY_EXISTS: Attempt to re-install %1 without first "
                                 "uninstalling.")
                      .arg(fi.completeBaseName());
    else if (mode == "refuse")
        failure = QStringLiteral("INSTALL_FAILED_INSUFFICIENT_STORAGE");
    else if (fi.size() == 0)
        failure = QStringLiteral("INSTALL_PARSE_FAILED_NOT_APK: Failed to parse %1").arg(apk);

    outLine(QStringLiteral("Performing Streamed Install"));
    if (!failure.isEmpty()) {
        outLine(QStringLiteral("Failure [%1]").arg(failure));
        errLine(QStringLiteral("adb: failed to install %1: Failure [%2]").arg(apk, failure));
        return 1;
    }
    if (beginFarm(farm, kAdbExe)) {
        const int j = farm.findIndex(idx);
        if (j >= 0) {
            QJsonObject rec = farm.instance(j);
            QJsonArray installed;
            for (const QJsonValue& v : rec.value("installed").toArray()) {
                if (v.toObject().value("apk").toString() != fi.fileName())
                    installed.append(v);
            }
            installed.append(QJsonObject{
                {"apk", fi.fileName()}, {"size", fi.size()}, {"sha1", fileSha1(apk)}, {"ms", nowMs()}});
            rec.insert("installed", installed);
            farm.setInstance(j, rec);
        }
        commitFarm(farm, kAdbExe);
    }
    outLine(QStringLiteral("Success"));
    return 0;
}

int deviceCommand(Farm& farm, const AdbCall& call)
{
    const QString cmd = call.args.value(0);
    const int i = onlineDevice(farm, call.serial);
    if (i < 0)
        return 1;
    instanceNoise(farm, i);
    if (cmd == "shell" && call.args.size() == 1)
        return runInteractiveShell(farm.dir(), i);
    if (cmd == "shell")
        return runShellLine(farm.dir(), i, call.args.mid(1).join(QLatin1Char(' ')));
    if (cmd == "exec-out")
        return execOut(farm, i, call.args.mid(1));
    if (cmd == "pull" && call.args.size() >= 3)
        return pull(farm, i, call.args.at(1), call.args.at(2));
    if (cmd == "install")
        return install(farm, i, call.args.mid(1));
    return adbError(QStringLiteral("adb: usage: unknown command %1").arg(call.args.join(' ')));
}

} // namespace

int runAdb(const QString& farmDir, const QStringList& rawArgs)
{
    const AdbCall call = parseCall(rawArgs);
    const QString cmd = call.args.value(0);
    slowTool(farmDir, QString(), portOfSerial(cmd == "connect" ? call.args.value(1) : call.serial));
    Farm farm(farmDir);
    QString err;
    if (!farm.read(&err))
        return adbError(QStringLiteral("adb: ") + err);
    if (cmd == "version") {
        outLine(QStringLiteral("Android Debug Bridge version 1.0.41"));
        outLine(QStringLiteral("Version 33.0.3-farmsim"));
        return 0;
    }
    if (cmd == "kill-server") {
        if (beginFarm(farm, kAdbExe)) {
            farm.root().insert("adbServer", false);
            commitFarm(farm, kAdbExe);
        }
        return 0;
    }
    serverUp(farm, true);
    if (farm.knobBool(-1, "adbNoise"))
        errLine(QStringLiteral("adb: warning: cannot open usb device list, continuing without usb"));
    if (cmd == "start-server") {
        return 0;
    }
    if (cmd == "devices")
        return devices(farm);
    if (cmd == "connect" && call.args.size() == 2)
        return connect(farm, call.args.at(1));
    if (cmd == "disconnect") {
        outLine(QStringLiteral("disconnected %1").arg(call.args.value(1)));
        return 0;
    }
    if (cmd == "shell" || cmd == "exec-out" || cmd == "pull" || cmd == "install")
        return deviceCommand(farm, call);
    return adbError(QStringLiteral("adb: unknown command %1").arg(rawArgs.join(' ')));
}

} // namespace farmsim
