#pragma once

#include <QDeadlineTimer>
#include <QString>
#include <QStringList>

class QProcess;

// Waits of the emulator control layer. The defaults are the product's (1000 ms polling sleeps,
// 30000 ms waits for the vendor tools, the adb bridge's own time-outs); the settings group
// "tuning/" may shorten them, which the tests and the demo farm use:
//   tuning/sleepStepMs     the polling sleep (start waits, kill-and-verify loop)
//   tuning/toolTimeoutMs   upper bound of every wait for a vendor tool or process command
//   tuning/adbTimeoutMs    upper bound of every wait for adb
//   tuning/adbShells       0: screenshots through one adb process each instead of the instances'
//                          long-lived adb shells (for an adb whose shell cannot be used)
// A value of 0 or less (or an absent key) keeps the default.
class LauncherTuning
{
public:
    static constexpr int kDefaultSleepStepMs = 1000;
    static constexpr int kToolTimeoutMs = 30000;

    static int sleepStepMs();
    // The wait for a vendor tool whose own wait is `defaultMs`.
    static int toolTimeoutMs(int defaultMs = kToolTimeoutMs);
    // The wait for an adb command whose own time-out is `seconds`.
    static int adbTimeoutMs(int seconds);
    // Whether captures go through the instances' long-lived adb shells (the default).
    static bool adbShellsOn();

    // How long an instance process may run without answering over adb before it counts as
    // unreachable: as long as a start of the agent's own waits for adb, common/startupTimeout
    // polling sleeps (real emulators take 30 to 90 s to boot). A time-out of 0 or less only turns a
    // start's own waits off; the boot still takes its time, so the setting's default counts then.
    static qint64 bootGraceMs();
    // True while the process runs and is younger than bootGraceMs().
    static bool isBooting(qint64 pid);

    // Waits in a local event loop, so that queued calls of the thread keep being served.
    static void sleepMs(int ms);
    // One polling sleep.
    static void sleepStep() { sleepMs(sleepStepMs()); }
};

// A deadline for every tool and adb wait of the calling thread while the object lives: a caller with
// a bound of its own (a screenshot, the running listing) never waits longer, whatever the tool's own
// wait. A tool still running at the deadline is killed. Deadlines nest; the nearest one counts.
class ToolDeadline
{
public:
    explicit ToolDeadline(int ms);
    ~ToolDeadline();
    ToolDeadline(const ToolDeadline&) = delete;
    ToolDeadline& operator=(const ToolDeadline&) = delete;

    // ms, or less when the thread's deadline comes earlier (0 once it has passed).
    static int bound(int ms);
    // True when the calling thread's deadline has passed.
    static bool expired();

private:
    QDeadlineTimer m_deadline;
    ToolDeadline* m_pOuter;
};

// Running programs the way the emulator control layer does: start, wait for the start and for the
// end within a time-out, read both streams. Exit codes are not judged here.
namespace ToolProcess {
// The program of a command line as built for a product tool, with native separators.
QString nativeProgram(const QString& path);
// Starts program with args read-write and waits up to timeoutMs for the start and again for the end
// (both within the thread's ToolDeadline); a program still running then is killed. Returns false
// when the program could not be started.
bool run(QProcess& process, const QString& program, const QStringList& args, int timeoutMs);
// Kills a program that still runs and waits briefly for its end.
void stop(QProcess& process);
constexpr int kKillWaitMs = 2000;
// Decodes a stream as UTF-8 up to its first NUL byte.
QString decodeUtf8(const QByteArray& bytes);
} // namespace ToolProcess
