#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>

#include "commresult.h"

struct SimuInfo;

// The agent's watchdog. On a thread of its own it examines every emulator instance of the PC once
// per common/checkTimeSpan seconds:
//   - an instance found running that the agent believes closed was started by hand: it is recorded
//     as running, or closed again when it exceeds common/runLimit;
//   - an instance believed running that is gone or unreachable is recorded as closed, and in daemon
//     mode (common/daemonModel 2) restarted at once;
//   - an instance believed closed whose process lingers without an adb connection is killed.
// An instance whose stored state says an operation is under way (starting, closing, installing,
// deleting) belongs to that operation: the watchdog neither probes nor changes it, since only the
// operation's own outcome moves it on (a booting instance is unreachable for a minute or more).
// An instance process that runs without answering over adb, or hangs, while it is younger than the
// boot grace of the agent's own starts (LauncherTuning::bootGraceMs) is still booting: whether
// started by hand, by the agent or by a restart, it is left to boot and judged once it is older.
// In daemon mode every pass also restarts the instances of the watch list daemon/list that are found
// closed, and gives one up after three failed restarts in a row. Every finding goes to the operation
// log; the stored records "simu2/<idx>" carry the states (time -1) to the console.
class SimuDaemonObj : public QObject
{
    Q_OBJECT
public:
    explicit SimuDaemonObj(QObject* parent = nullptr);

    // Set until the first daemon pass; while set, check passes do nothing and schedule nothing.
    bool isStopped() const { return m_bStop; }

    // The daemon pass (restarts of watched instances that are found closed).
    void runDaemonPass();
    // The instance check of one inventory entry.
    void checkInstance(const SimuInfo& info);

    // Operation-log texts; %1 is the instance's display name.
    static QString msgNewInstance(const QString& name);
    static QString msgOverRunLimit(const QString& name);
    static QString msgClosedForRunLimit(const QString& name);
    static QString msgCloseFailed(const QString& name);
    static QString msgLost(const QString& name);
    static QString msgLostRestarting(const QString& name);
    static QString msgLostRestarted(const QString& name);
    static QString msgLostRestartFailed(const QString& name);
    static QString msgWatchedClosed(const QString& name);
    static QString msgWatchedRestarted(const QString& name);
    static QString msgWatchedRestartFailed(const QString& name);
    static QString msgGivenUp(const QString& name, int failures);

    // Starting, closing, installing or deleting: an operation owns the instance.
    static bool isOperationUnderWay(int iState);

    static constexpr int kMaxRestartFailures = 3;
    static constexpr int kKillAttempts = 11;

signals:
    void sigPeekSimuStateOnce();

public slots:
    void InitDaemon();
    void slStartupDaemonList();
    void slSimusStateCheck();
    void slAddNewDaemon(QString strSimuName, QString strMemuIndex);
    void slRemoveDameon(QString strSimuName, QString strMemuIndex);

private:
    // True while the instance's process (the probe's pid, else the stored one) runs and is younger
    // than the boot grace; the first sighting of each boot is logged with its age. A process whose
    // age cannot be read is timed from the first pass that saw it unreachable.
    bool isStillBooting(const SimuInfo& info, int probedPid);
    void handleNewInstance(const SimuInfo& info, int pid);
    void handleLostInstance(const SimuInfo& info, int pid);
    void restartWatched(const SimuInfo& info);
    // Starts an instance again after a process of it that is still there (hung, or without an adb
    // connection) was killed; the start's result, or the kill's failure.
    CCommResult restartAfterKill(const QString& idx, int lingeringPid);
    // Sleeps common/checkTimeSpan seconds while serving the thread's queued calls; false when the
    // thread is being stopped meanwhile.
    bool sleepCheckSpan();
    // True when pid is the product's instance process and no other instance's (logged when not).
    static bool ownsProcess(const QString& idx, int pid);
    // Kills a lingering instance process and checks that it is gone, up to kKillAttempts times.
    bool killAndVerify(int pid);
    void scheduleNextPass();

    // An instance process seen running but unreachable: since when (m_clock), and whether its boot
    // has been logged.
    struct struBootSighting
    {
        qint64 pid = 0;
        qint64 firstSeenMs = 0;
        bool logged = false;
    };

    QElapsedTimer m_clock;
    QHash<QString, struBootSighting> m_booting; // by instance index
    bool m_bStop = true;
    bool m_bChainRunning = false; // a check pass is queued or running
};
