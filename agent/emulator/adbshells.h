#pragma once

#include "adbshellsession.h"

#include <QString>
#include <QStringList>

#include <functional>

// The instances' long-lived adb shells for the whole agent: one AdbShellSession per instance (per
// adb program and serial), all on one thread of their own that only waits for their output, so a
// shell that hangs holds up nothing but its own commands. A shell is started by the first command
// for its instance, started again by the next command after it died, and closed when it has been
// idle for kIdleCloseMs, when its instance is closed (close) or left the running instances
// (closeExcept), or at shutdown(). Callable from any thread but that one.
namespace AdbShells {

constexpr int kIdleCloseMs = 60000;
// A shell not among the running instances is closed only once it has been idle this long, so that a
// start sequence polling an instance that is not listed yet keeps its shell between polls.
constexpr int kCloseGraceMs = 3000;
constexpr int kPostTimeoutMs = 10000;

// Runs the command (its words, each quoted for the device's shell) in the instance's shell and
// waits for its end: at most timeoutMs, and never past the calling thread's ToolDeadline. Output
// beyond maxBytes ends the command (code 22 "输出过长").
struShellReply run(const QString& serial, const QStringList& words, int timeoutMs,
                   qint64 maxBytes = qint64(1) << 20, eShellStderr stderrMode = eShellStderr::Merged);
// Queues the command without waiting for it: the commands of one instance run in the order posted,
// those of different instances side by side; beyond AdbShellSession::kMaxQueued waiting commands of
// an instance, more are dropped and counted (dropped()). `done`, when given, is called on the
// shells' thread with the outcome (a refusal included); it must not block.
using ShellDone = std::function<void(const struShellReply&)>;
void post(const QString& serial, const QStringList& words, int timeoutMs = kPostTimeoutMs,
          ShellDone done = ShellDone());
// Closes the idle shells of instances other than these serials.
void closeExcept(const QStringList& serials);
// Closes the instance's shell (its instance is being closed); a command under way in it fails.
void close(const QString& serial);
// Ends every shell and the shells' thread; the next command starts them again.
void shutdown();

// Shell processes running now, and commands dropped so far because an instance's queue was full.
int liveShells();
int dropped();

} // namespace AdbShells
