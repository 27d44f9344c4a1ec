#pragma once

#include "commresult.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QQueue>
#include <QStringList>

#include <functional>

class QProcess;
class QTimer;

// What one command in an instance's shell gave.
struct struShellReply
{
    CCommResult result;  // 0: the command ran and ended with status 0; otherwise 22 with the reason
    int exitStatus = -1; // the command's exit status; -1 when it did not end
    QByteArray out;      // its standard output (with its error stream when that was merged)
};

// The command's error stream: merged into its output (text commands), or dropped (binary output).
enum class eShellStderr
{
    Merged,
    Dropped
};

// The long-lived "adb -s <serial> shell" of one instance, on the thread that owns it; never
// blocks that thread. Commands are queued and run one after another in the order given: each is
// written to the shell's standard input as one line between two marker echoes
//     echo <begin>; <words> 2>&1 </dev/null; echo <end>$?
// whose markers (a nonce of the session and the command's number) frame its output and its exit
// status, so that neither a prompt nor an echo of the line can shift replies.
// Words are quoted for the device's shell (quoteWord); a word that cannot be passed (control
// characters) refuses the command before anything is written.
// Every command has a deadline; a command that misses it, or prints more than its limit, kills the
// shell (its state is unknown then). A shell that died (the instance stopped, adb hung or failed) is
// started again for the next command, after a pause that grows while starts keep failing. The
// queue is bounded: a command beyond kMaxQueued is refused at once.
class AdbShellSession : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxQueued = 256;
    static constexpr int kMaxRestartPauseMs = 5000;
    static constexpr int kFirstRestartPauseMs = 250;
    static constexpr int kMaxErrorBytes = 4096;

    struct struRequest
    {
        QStringList words;
        eShellStderr stderrMode = eShellStderr::Merged;
        qint64 maxBytes = 1 << 20;
        QDeadlineTimer deadline;
        // Called on the session's thread with the outcome (may be empty: nobody waits).
        std::function<void(const struShellReply&)> done;
    };

    AdbShellSession(QString program, QString serial, QObject* parent = nullptr);
    ~AdbShellSession() override;

    // Queues a command; false (and `done` called with the refusal) when the queue is full.
    bool enqueue(struRequest request);
    // Ends the shell now; queued commands fail.
    void close();

    bool idle() const { return !m_bBusy && m_queue.isEmpty(); }
    bool processRunning() const;
    qint64 idleMs() const;
    int dropped() const { return m_dropped; }
    // Shell processes alive in this program (all sessions).
    static int liveShells();

    // The word as the device's shell reads it back unchanged: as it is when it holds only
    // characters without meaning to the shell, otherwise in single quotes. Empty (null) for a word
    // with a control character (line breaks included), which no line can carry.
    static QString quoteWord(const QString& word);

private:
    void startNext();
    bool ensureProcess();
    // The line that runs the current command between its markers; empty when a word cannot be
    // passed.
    QByteArray commandLine();
    void writeCurrent(const QByteArray& line);
    void onOutput();
    void onError();
    void onEnded(QProcess* pProcess);
    void onDeadline();
    // The reply of the current command is complete when its end marker and status have come.
    bool takeReply();
    void finishCurrent(const struShellReply& reply);
    void failCurrent(const QString& str, const QString& log);
    void failQueued(const QString& str, const QString& log);
    void killProcess();
    // A shell that ended before it answered anything: the next start waits, longer each time.
    void pauseRestarts();
    static struShellReply failure(const QString& str, const QString& log);

    const QString m_program;
    const QString m_serial;
    const QByteArray m_nonce;
    QProcess* m_pProcess = nullptr;
    QTimer* m_pDeadline;
    QTimer* m_pRestart;
    QQueue<struRequest> m_queue;
    struRequest m_current;
    bool m_bBusy = false;
    bool m_bBegun = false; // the begin marker of the current command was read
    quint64 m_seq = 0;
    QByteArray m_beginTag;
    QByteArray m_endTag;
    QByteArray m_out;
    int m_lastReplyBytes = 0;
    QByteArray m_err;
    bool m_bAnswered = false; // the running process completed a command
    int m_failedStarts = 0;
    QDeadlineTimer m_restartAt;
    qint64 m_lastUseMs = 0;
    int m_dropped = 0;
};
