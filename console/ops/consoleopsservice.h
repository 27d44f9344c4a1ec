#pragma once

#include "commresult.h"
#include "groupoperchecks.h"
#include "ports.h"

#include <QAtomicInt>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <memory>

class AgentRegistry;
class ClientNetOperObj;
class QThread;
class SentOperLedger;

// The console's operations service: every operation the console sends to an agent leaves through
// submit(), and everything the console learns about its delivery comes back as the signals below.
//
// The road of an operation, end to end:
//   1. MenuOfDrawerCell (an emulator row's menu)      -> MyGrpDrawer::sigDrawerCellMenuTriggered
//   2. CenterToolMainWnd::slDrawerCellMenuTriggered   -> sigOperationChosen(index), ticks cleared
//   3. ConsoleOpsWiring::slOperationChosen            -> GroupOperDispatch::run: the checks and the
//      user's questions over the registry's snapshot; one OpsPcSend per PC that passed
//   4. ConsoleOpsService::submit(OpsPcSend)           -> the PC's ClientNetOperObj, queued to the
//      delivery thread (ClientNetOperObj::Operate)
//   5. ClientNetOperObj: one operation at a time per PC, in order: busy states (sigSimuStates), the
//      ledger entry for the result server, then the manager
//   6. OperGrpSimuMgr / OperGrpSimuInstallMgr: connect to port 7778, the command document, the APK,
//      close; each step with its deadline, on the delivery thread's event loop
//   7. back here: sigSimuStates (busy, or put back after a failure), sigInstallState (the transfer's
//      progress), sigNetOperReplyResult (a failure for the user), sigOperDelivered.
//
// All PCs share one delivery thread: a delivery waits on socket signals and timers, never in a
// blocked call, so the thread count does not grow with the number of PCs. Lives on the thread that
// made it (the GUI thread), and is called there; its signals are emitted there.
class ConsoleOpsService : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        quint16 agentPort = Tovia::kCommandPort;
        int connectWaitMs = 6000;
        int writeWaitMs = 30000;
        int filePauseMs = 100;
    };

    ConsoleOpsService(std::shared_ptr<const AgentRegistry> registry, std::shared_ptr<SentOperLedger> ledger,
                      const Options& options, QObject* parent = nullptr);
    ~ConsoleOpsService() override;

    // Queues the checked operation for its PC, behind the PC's earlier ones. False (nothing sent)
    // when the registry does not list the PC, or after stop().
    bool submit(const OpsPcSend& oper);

    // The PC's command client (it lives on the delivery thread); null until its first operation.
    ClientNetOperObj* client(const QString& pcName) const;
    int clientCount() const;
    // Operations submitted whose delivery is not over yet.
    int pendingCount() const { return m_pending.loadAcquire(); }
    QThread* deliveryThread() const { return m_pThread; }

    // Lets the deliveries under way and queued end, for at most drainMs, then ends the delivery
    // thread and its clients. Called by the destructor too.
    void stop(int drainMs = 5000);

signals:
    void sigSimuStates(QString strPcName, QStringList strMemuIdxList, int iState, int iTime);
    // iState 0 an install's transfer begins, 1 its progress, 2 it ended without reaching the agent.
    void sigInstallState(QString strPcName, QString strMemuIdx, int iState, int iProgress);
    // A failure of the console side; the receiver frees it.
    void sigNetOperReplyResult(CCommResult* pRet);
    void sigOperDelivered(QString strPcName, int iType, QStringList strMemuIdxList, int iRet);

private:
    ClientNetOperObj* clientFor(const QString& pcName);
    void relay(ClientNetOperObj* pClient, const QString& pcName);

    std::shared_ptr<const AgentRegistry> m_pRegistry;
    std::shared_ptr<SentOperLedger> m_pLedger;
    Options m_options;
    QThread* m_pThread = nullptr;
    mutable QMutex m_lock; // m_clients
    QHash<QString, QPointer<ClientNetOperObj>> m_clients;
    QAtomicInt m_pending{0};
    bool m_bStopped = false;
};
