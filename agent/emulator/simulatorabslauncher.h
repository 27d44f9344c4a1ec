#pragma once

#include "commresult.h"
#include "simuinfo.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

class QProcess;

// Run states of GetSimuRunState / SimuRunState.
enum eSimuRunState
{
    eRunStateRunning = 0, // running and reachable over adb
    eRunStateStopped = 1, // not running or not reachable
    eRunStateHung = 2,    // its window does not respond
};

// One instance's run state as a probe found it: eSimuRunState, and the instance's process id when
// the product knows it.
struct struRunState
{
    int state = eRunStateStopped;
    int pid = 0;
};

// One emulator instance of the configured product and the product's command-line tools. The base
// class holds what both products share: the start sequence (launch, wait for adb, wait for a usable
// screen), the close sequence (stop, kill the process tree, verify), the pid bookkeeping in the
// stored record "simu2/<memuIdx>", APK install. A launcher lives for one call of one entry point.
//
// Instances are started detached: an emulator outlives the launcher and the process object that
// the caller hands in; the started pid is returned in iExtraRet of a successful start.
class SimulatorAbsLauncher
{
public:
    // Looks the index up in the inventory (an unknown or empty index leaves the entry zeroed).
    explicit SimulatorAbsLauncher(const QString& memuIdx);
    virtual ~SimulatorAbsLauncher();
    SimulatorAbsLauncher(const SimulatorAbsLauncher&) = delete;
    SimulatorAbsLauncher& operator=(const SimulatorAbsLauncher&) = delete;

    // Launch, wait until adb lists the instance, wait for a usable screenshot; on failure stop and
    // kill it. Records iPid and iTime + 1 either way. Success: iExtraRet = the instance's pid.
    virtual CCommResult StartupSimu(QProcess* process);
    virtual CCommResult LaunchSimu(QProcess* process) = 0;
    // Leaves the watch list, stops the instance and kills `pid` (<= 0: the stored iPid).
    virtual CCommResult CloseSimu(int pid);
    virtual CCommResult ShutdownSimu() = 0;
    virtual CCommResult DeleteSimu(SimuInfo info);
    // Refuses a title the product cannot take (CheckTitle) before its tool is called.
    virtual CCommResult RenameSimu(const QString& name);
    // kBadSimuName for an empty title, control characters or more than the inventory can hold.
    virtual CCommResult CheckTitle(const QString& title);
    virtual CCommResult DoRenameSimu(const QString& name) = 0;
    virtual CCommResult DoDeleteSimu(SimuInfo info) = 0;
    virtual CCommResult CreateSimu(SimuInfo info) = 0;
    virtual CCommResult GetRunningSimus(QStringList& memuIdxs) = 0;
    virtual CCommResult CheckSimuPath(const QString& dir) = 0;
    // adb connect, device check, install; 57 "设备不在线" when adb does not list the instance.
    virtual CCommResult InstallApk(int adbPort, const QString& apkPath);
    virtual CCommResult IsPidExist(int pid, bool& alive);
    virtual CCommResult CloseSimuByPid(int pid);
    // Kill and verify, up to 11 attempts one sleep apart; 59 "关闭模拟器失败" when it survives.
    virtual CCommResult CloseSimuProcess(int pid);
    // str = "127.0.0.1:<adb port>"
    virtual CCommResult GetAdbSerial();
    // Up to common/startupTimeout polls; 58 "模拟器不在线" when adb never lists the serial.
    virtual CCommResult WaitSimuOnline(const QString& serial, bool& online);
    // Up to common/startupTimeout screenshots; a failure keeps its code with str "无法截图".
    virtual CCommResult WaitSimuScreen(const QString& serial, const QString& filePath);
    // eSimuRunState; `pid` receives the instance's process id when the product knows it (else it
    // is left as it is). Stopped when the product cannot be asked.
    int GetSimuRunState(SimuInfo info, int& pid);
    // The run states of these instances from one look at the product and one at adb for all of
    // them (a watchdog pass). An instance the product or adb could not be asked about is left out:
    // nothing is known of it.
    virtual QHash<QString, struRunState> GetSimuRunStates(const QVector<SimuInfo>& infos) = 0;
    // The program file name of the product's instance processes.
    virtual QString InstanceImageName() const = 0;
    // True when pid is a live process of the product's instance program that may be this
    // instance's: only such a process is ever killed for an instance (a pid read from a listing or
    // a stored record may name any process, or one of another instance).
    virtual bool OwnsInstanceProcess(qint64 pid);

    const SimuInfo& simuInfo() const { return m_info; }
    const QString& memuIdx() const { return m_memuIdx; }

    static constexpr int kCloseAttempts = 11;
    // Looks at the product's running list after a close, one polling step apart.
    static constexpr int kListingChecks = 5;

protected:
    // Ends the instance's long-lived adb shell (its instance is being closed).
    void closeShell();
    // A close is done only when the product's own running list no longer names the instance
    // (its tool may go on listing it after its process is gone). 59 otherwise.
    CCommResult VerifyNotListed();
    // For CheckSimuPath: success when dir holds the product's tool, else kWrongProductDir naming the
    // product ("逍遥", "雷电").
    static CCommResult CheckToolInDir(const QString& dir, const QString& tool, const QString& product);
    // The pid to record for a started instance (default: the launched process).
    virtual qint64 StartedSimuPid();
    // Starts program + args detached, with the caller's process object holding the command for
    // inspection; stores the pid in m_launchedPid. Returns false when it could not start.
    bool launchDetached(QProcess* process, const QString& program, const QStringList& args);

    SimuInfo m_info;
    QString m_memuIdx;
    qint64 m_launchedPid = 0;
};

// Runs a program with its arguments; code 0 with str = standard output and log = standard error
// (UTF-8 up to the first NUL). Never reports a failure itself.
CCommResult RunToolForOutput(const QString& program, const QStringList& args, int timeoutMs);

// Install folders found in the system's records (empty when unknown; always empty on Linux).
QString FindMEmuDir();
QString FindLdPlayerDir();
