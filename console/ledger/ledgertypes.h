#pragma once

#include <QString>
#include <QVector>

// What became of one target emulator of an operation.
enum class eLedgerState
{
    Waiting = 0,   // handed to the PC's command client
    Sent = 1,      // the command reached the agent; its report is awaited
    Succeeded = 2, // the agent reported success
    Failed = 3,    // the agent reported a failure, or the command did not reach it
    NoAnswer = 4,  // no report within the operation's deadline
    Refused = 5,   // the console's checks refused it (a retry)
};

struct struLedgerTarget
{
    QString pcName;
    QString memuIdx;
    eLedgerState state = eLedgerState::Waiting;
    int iCode = 0;
    QString text;
    int iProgress = -1;    // install: the transfer's progress, -1 none
    qint64 doneMs = 0;     // when its outcome came, ms since the epoch; 0 still open
    qint64 deadlineMs = 0; // open until then (not stored: a restarted console takes no old report)

    bool isOpen() const { return state == eLedgerState::Waiting || state == eLedgerState::Sent; }
    bool isFailure() const
    {
        return state == eLedgerState::Failed || state == eLedgerState::NoAnswer ||
               state == eLedgerState::Refused;
    }
};

// One operation the user sent, with its targets in the order they were sent.
struct struLedgerEntry
{
    qint64 id = 0;
    qint64 sentMs = 0;
    int iOperType = 0;
    QString strArg; // APK path (install) or new name (rename)
    qint64 fileSize = 0;
    QVector<struLedgerTarget> targets;

    int count(eLedgerState s) const;
    int openCount() const;
    int failureCount() const;
};

namespace LedgerText {
QString stateText(eLedgerState s);
QString operText(int iOperType);
} // namespace LedgerText
