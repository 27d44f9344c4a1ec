#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

class QThread;
class QTcpSocket;
class RspsorGrpOperMgr;

// The threads that carry out commands: at most kMaxThreads, each with an event loop, made as they
// are needed and kept for the next command. A command (its group manager, and for an install the
// connection its file arrives on) runs on an idle thread; when every thread is busy it waits in
// order. Commands run side by side, the records of one command one after another on its thread.
// Installs run one at a time (they share the received file), the others meanwhile on other threads.
// Lives on the command server's thread.
class CommandPool : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxThreads = 8;
    // Longest wait at shutdown for a thread whose command is still running.
    static constexpr int kShutdownWaitMs = 5000;

    explicit CommandPool(int maxThreads = kMaxThreads, QObject* parent = nullptr);
    ~CommandPool() override;

    // Takes the manager (and the socket, which moves with it) and runs its group as soon as a
    // thread is free; both are deleted when the group is done.
    void submit(RspsorGrpOperMgr* pMgr, QTcpSocket* pSocket = nullptr, bool exclusive = false);

    int threadCount() const { return m_workers.size(); }
    int busyCount() const;
    int waitingCount() const { return m_waiting.size(); }

signals:
    // A group ended (its manager is being deleted).
    void sigGroupDone();

private:
    struct struJob
    {
        RspsorGrpOperMgr* pMgr = nullptr;
        QTcpSocket* pSocket = nullptr;
        bool exclusive = false;
    };
    struct struWorker
    {
        QThread* pThread = nullptr;
        bool busy = false;
    };
    void runWaiting();
    // An idle worker, a new one while there is room, or -1.
    int idleWorker();
    void run(int worker, const struJob& job);
    void finished(int worker, bool exclusive);

    int m_maxThreads;
    QList<struWorker> m_workers;
    QList<struJob> m_waiting;
    bool m_exclusiveRunning = false;
};
