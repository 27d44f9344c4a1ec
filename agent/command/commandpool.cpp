#include "commandpool.h"

#include "agentlogging.h"
#include "rspsorgrpopermgr.h"

#include <QTcpSocket>
#include <QThread>

#include <algorithm>

CommandPool::CommandPool(int maxThreads, QObject* parent) : QObject(parent), m_maxThreads(qMax(1, maxThreads))
{
}

CommandPool::~CommandPool()
{
    for (const struJob& job : qAsConst(m_waiting)) {
        delete job.pMgr;
        delete job.pSocket;
    }
    for (const struWorker& worker : qAsConst(m_workers)) {
        worker.pThread->requestInterruption();
        worker.pThread->quit();
    }
    for (const struWorker& worker : qAsConst(m_workers)) {
        if (worker.pThread->wait(kShutdownWaitMs)) {
            delete worker.pThread;
            continue;
        }
        // Its command is still in a tool's wait: the thread is left to end with the program
        // rather than destroyed while it runs.
        qCWarning(lcCommand) << "CommandPool: a command thread did not end in time";
        connect(worker.pThread, &QThread::finished, worker.pThread, &QObject::deleteLater);
    }
}

int CommandPool::busyCount() const
{
    return int(
        std::count_if(m_workers.cbegin(), m_workers.cend(), [](const struWorker& w) { return w.busy; }));
}

void CommandPool::submit(RspsorGrpOperMgr* pMgr, QTcpSocket* pSocket, bool exclusive)
{
    m_waiting.append(struJob{pMgr, pSocket, exclusive});
    runWaiting();
    if (!m_waiting.isEmpty())
        qCInfo(lcCommand) << "CommandPool:" << m_waiting.size() << "commands waiting for a thread,"
                          << busyCount() << "running";
}

void CommandPool::runWaiting()
{
    for (int i = 0; i < m_waiting.size();) {
        if (m_waiting.at(i).exclusive && m_exclusiveRunning) {
            ++i; // behind the install that runs; later commands may pass it
            continue;
        }
        const int worker = idleWorker();
        if (worker < 0)
            return;
        run(worker, m_waiting.takeAt(i));
    }
}

int CommandPool::idleWorker()
{
    for (int i = 0; i < m_workers.size(); ++i) {
        if (!m_workers.at(i).busy)
            return i;
    }
    if (m_workers.size() >= m_maxThreads)
        return -1;
    auto* pThread = new QThread;
    pThread->setObjectName(QStringLiteral("command-%1").arg(m_workers.size() + 1));
    pThread->start(QThread::InheritPriority);
    m_workers.append(struWorker{pThread, false});
    return m_workers.size() - 1;
}

void CommandPool::run(int worker, const struJob& job)
{
    QThread* pThread = m_workers.at(worker).pThread;
    m_workers[worker].busy = true;
    m_exclusiveRunning = m_exclusiveRunning || job.exclusive;
    job.pMgr->moveToThread(pThread);
    if (job.pSocket)
        job.pSocket->moveToThread(pThread); // the group reads its file on its thread
    const bool exclusive = job.exclusive;
    QTcpSocket* pSocket = job.pSocket;
    RspsorGrpOperMgr* pMgr = job.pMgr;
    connect(pMgr, &RspsorGrpOperMgr::sigMgrFinished, this, [this, worker, exclusive, pMgr, pSocket] {
        pMgr->deleteLater();
        if (pSocket)
            pSocket->deleteLater();
        finished(worker, exclusive);
    });
    QMetaObject::invokeMethod(pMgr, &RspsorGrpOperMgr::slRunRspsMgr, Qt::QueuedConnection);
}

void CommandPool::finished(int worker, bool exclusive)
{
    m_workers[worker].busy = false;
    if (exclusive)
        m_exclusiveRunning = false;
    emit sigGroupDone();
    runWaiting();
}
