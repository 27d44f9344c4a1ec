#pragma once

#include "commresult.h"

#include <QString>
#include <QStringList>

// The adb bridge: each function runs the adb of the product folder (common/dir + "/adb.exe") with
// one command's arguments, given as a list (never a line that is split again), as a child process
// with a time-out and judges its output.
// An instance is addressed by its serial "127.0.0.1:<adb port>". No state: every call owns its
// process, so the functions may be called from any thread at once.
//
// Result codes: 22 adb wrote to its error stream (str: the error stream, log: the output),
// 25 connect "unable", 19/20/0 install verdicts.

// Runs adb with these arguments; the child's pid goes to iExtraRet. Output in str; with anything on
// the error stream: code 22, str the error stream, log the output.
CCommResult RunAdbCmd(const QStringList& args, int seconds);

CCommResult AdbStartServer();
CCommResult AdbKillServer();
CCommResult AdbConnect(const QString& serial);
// Online exactly when "devices" lists the serial with the state word "device".
CCommResult AdbIsOnline(const QString& serial, bool& online);
CCommResult AdbScreencap(const QString& serial, const QString& devicePath);
// Always counts as successful when adb printed anything; the caller judges the pulled file.
CCommResult AdbPull(const QString& serial, const QString& devicePath, const QString& localPath);
// Time-out: (APK size / 1000000) x 2 + 60 seconds. Verdict from both output streams:
// "Success" 0 "安装成功", "ALREADY_EXISTS" 20 "已经安装过了", otherwise 19.
CCommResult AdbInstall(const QString& serial, const QString& apkPath);

namespace AdbBridge {
// "<common/dir>/adb.exe" in native separators, the program every call starts.
QString adbProgram();
int installTimeoutSeconds(qint64 apkBytes);
// True when one line of a "devices" listing is exactly serial + "\tdevice".
bool listsOnline(const QString& devicesOutput, const QString& serial);
} // namespace AdbBridge
