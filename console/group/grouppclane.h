#pragma once

#include "groupcontrol.h"

#include <QObject>
#include <QQueue>
#include <QStringList>

#include <functional>
#include <optional>

class QTcpSocket;
class QTimer;

// One command of a group run to one PC: kind 8, 9 or 10 with its targets.
struct GroupJob
{
    int iKind = 0;
    QStringList memuIdxs;
    QString inputEvent; // kind 10: the event's JSON
    int iExtra = 0;     // kind 8: the live view's port
};

// What became of a job.
struct GroupJobOutcome
{
    enum class Kind
    {
        Replied,     // the agent's reply is in `reply`
        Unreachable, // no connection (or the PC is not listed)
        NoReply,     // connected, but no readable reply within the wait
        Dropped,     // never sent: the PC's queue was full, or the run ended first
    };
    Kind kind = Kind::NoReply;
    std::optional<GroupReply> reply;
    QString why; // for the log
};

// The commands of a group run to one agent PC, in the order they were pushed, one connection at a
// time: connect, the signed document, the agent's one reply document, closed. Every step has its
// deadline and waits on socket signals, so the lanes of every PC share one thread and a PC that is
// slow or gone holds up only its own lane. At most maxQueued input events wait; when more come the
// oldest is dropped. A PC that cannot be reached drops the input events waiting behind (they would
// only wait for the same fate); begin and end commands are always tried.
class GroupPcLane : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QString pcKey;
        QString nickName;
        QString runId;
        quint16 agentPort = 0;
        int connectWaitMs = 2000;
        int replyWaitMs = 3000;
        int maxQueued = 100;
    };
    using AddressFn = std::function<QString()>; // the PC's address now (empty: not listed)
    using DoneFn = std::function<void(const GroupJob&, const GroupJobOutcome&)>;

    GroupPcLane(const Options& options, AddressFn address, DoneFn done, QObject* parent = nullptr);
    ~GroupPcLane() override;

    void push(const GroupJob& job);
    // Drops the input events waiting (not the command under way).
    void dropInputs();
    bool idle() const { return m_step == Step::Idle && m_queue.isEmpty(); }
    int queued() const { return m_queue.size(); }

private:
    enum class Step
    {
        Idle,
        Connecting,
        Waiting, // the document written, the reply awaited
    };
    void startNext();
    void connected();
    void readReply();
    void deadlinePassed();
    void socketGone();
    void finish(const GroupJobOutcome& outcome);
    void dropWhere(const std::function<bool(const GroupJob&)>& pred, GroupJobOutcome::Kind kind,
                   const QString& why);

    Options m_options;
    AddressFn m_address;
    DoneFn m_done;
    QQueue<GroupJob> m_queue;
    GroupJob m_current;
    QString m_addr;
    Step m_step = Step::Idle;
    QTcpSocket* m_pSocket = nullptr;
    QTimer* m_pDeadline = nullptr;
    QByteArray m_reply;
};
