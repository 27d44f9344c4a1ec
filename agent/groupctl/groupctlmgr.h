#pragma once

#include "groupcontrol.h"
#include "groupviewsender.h"
#include "objectguard.h"
#include "simurecords.h"

#include <QAtomicInteger>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QSize>

class QThread;
class QTimer;
class SimuTcpRcvObj;
struct struShellReply;

struct struGroupCtlOptions
{
    int iIdleEndMs = 10 * 60 * 1000;
    int iMaxQueuedEvents = 32;  // per instance of a run
    int iEventTimeoutMs = 3000; // an event's time in the shell, plus a swipe's own duration
    int iMaxViews = 4;          // live views at once (over all runs)
    struGroupViewOptions view;
};

// The agent's group runs, on a thread of their own. The command server hands it the group-control
// commands (view begin, view end, input) and writes back the reply it gives for each.
// An input event is replayed on each of its instances through the instance's long-lived adb shell
// (AdbShells): the events of one instance in order, the instances side by side, so that one whose
// adb hangs holds up only itself. Each instance of a run has a bounded queue (events waiting for its
// screen size plus events in its shell); an event beyond it is dropped and counted. Positions are
// mapped to the instance's screen, read once per run with "wm size". Only instances that the agent
// holds running get events. A run's state (its instances' screens, drop counts and health, its live
// view) ends with the run's end command or after a long idle time. Nothing here waits for adb.
class GroupCtlMgr : public QObject
{
    Q_OBJECT
public:
    using Options = struGroupCtlOptions;

    explicit GroupCtlMgr(const Options& options = Options(), QObject* parent = nullptr);
    ~GroupCtlMgr() override;

    // Connects the command server's group commands to the manager and its replies back.
    static void attach(SimuTcpRcvObj* pRcvObj, GroupCtlMgr* pMgr);

    // Any thread: runs and live views now.
    int runCount() const { return m_runs.loadRelaxed(); }
    int viewCount() const { return m_views.loadRelaxed(); }

signals:
    void sigGroupReply(quint64 iTicket, QByteArray reply);
    // A run's live view started (its sender, before its thread runs) or ended.
    void sigViewStarted(GroupViewSender* pSender);
    void sigViewEnded(QString strRunId, QString strReason);

public slots:
    // On the manager's thread, before its first command.
    void slInit();
    void slGroupCommand(quint64 iTicket, QList<struSimuOper> opers);

private:
    struct struTarget
    {
        QString serial;
        QSize screen;
        bool sizing = false;
        QQueue<GroupInputEvent> waiting; // until the screen size is known
        int inFlight = 0;                // in the shell
        int dropped = 0;
        int health = eGroupOk;
    };
    struct struRun
    {
        QHash<QString, struTarget> targets;
        qint64 lastUseMs = 0;
        GroupViewSender* pView = nullptr;
    };

    GroupReply viewBegin(const QList<struSimuOper>& opers);
    GroupReply viewEnd(const QList<struSimuOper>& opers);
    GroupReply input(const QList<struSimuOper>& opers);
    GroupReplyItem replay(const QString& runId, const QString& memuIdx, const QString& serial,
                          const GroupInputEvent& event);
    struRun& runOf(const QString& runId);
    void pump(const QString& runId, const QString& memuIdx, struTarget& target);
    void readScreen(const QString& runId, const QString& memuIdx, struTarget& target);
    void onScreen(const QString& runId, const QString& memuIdx, const struShellReply& reply);
    void onEventDone(const QString& runId, const QString& memuIdx, const struShellReply& reply);
    void noteDropped(const QString& runId, const QString& memuIdx, struTarget& target, int count);
    struTarget* targetOf(const QString& runId, const QString& memuIdx);
    void endRun(const QString& runId, const QString& reason);
    void stopView(struRun& run, const QString& reason);
    void onViewEnded(GroupViewSender* pSender, const QString& runId, const QString& reason);
    void endIdleRuns();

    Options m_options;
    QHash<QString, struRun> m_hRuns;
    QList<QPointer<QThread>> m_viewThreads;
    QTimer* m_pIdle = nullptr;
    ObjectGuard m_guard{this};
    QAtomicInteger<int> m_runs{0};
    QAtomicInteger<int> m_views{0};
};
