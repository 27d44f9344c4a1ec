#include "consoleopsservice.h"

#include "agentregistry.h"
#include "clientnetoperobj.h"
#include "consoletypes.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

namespace {
constexpr int kThreadQuitWaitMs = 5000;
} // namespace

ConsoleOpsService::ConsoleOpsService(std::shared_ptr<const AgentRegistry> registry,
                                     std::shared_ptr<SentOperLedger> ledger, const Options& options,
                                     QObject* parent)
    : QObject(parent), m_pRegistry(std::move(registry)), m_pLedger(std::move(ledger)), m_options(options)
{
    ConsoleTypes::registerMetaTypes();
    qRegisterMetaType<OpsPcSend>("OpsPcSend");
    m_pThread = new QThread(this);
    m_pThread->setObjectName(QStringLiteral("console deliveries"));
    m_pThread->start(QThread::InheritPriority);
}

ConsoleOpsService::~ConsoleOpsService()
{
    stop();
}

ClientNetOperObj* ConsoleOpsService::client(const QString& pcName) const
{
    QMutexLocker lock(&m_lock);
    return m_clients.value(pcName);
}

int ConsoleOpsService::clientCount() const
{
    QMutexLocker lock(&m_lock);
    return m_clients.size();
}

// Made here and moved to the delivery thread, where it lives until stop(). It asks the registry for
// the PC's address and nick name at every operation.
ClientNetOperObj* ConsoleOpsService::clientFor(const QString& pcName)
{
    QMutexLocker lock(&m_lock);
    if (ClientNetOperObj* pKnown = m_clients.value(pcName))
        return pKnown;
    struPcEntry entry;
    if (!m_pRegistry || !m_pRegistry->entry(pcName, entry))
        return nullptr;
    auto* pClient =
        new ClientNetOperObj(entry.pcName, entry.nickName, entry.connectAddress(), m_options.agentPort);
    pClient->SetWaits(m_options.connectWaitMs, m_options.writeWaitMs, m_options.filePauseMs);
    pClient->SetRegistry(m_pRegistry);
    pClient->SetLedger(m_pLedger);
    relay(pClient, pcName);
    pClient->moveToThread(m_pThread);
    connect(m_pThread, &QThread::finished, pClient, &QObject::deleteLater);
    m_clients.insert(pcName, pClient);
    return pClient;
}

// The client's signals come over to this thread (the receiver context is this object).
void ConsoleOpsService::relay(ClientNetOperObj* pClient, const QString& pcName)
{
    const auto warnIf = [](bool ok, const char* text) {
        if (!ok)
            qWarning("%s", text);
    };
    warnIf(connect(pClient, &ClientNetOperObj::sigSimuStates, this, &ConsoleOpsService::sigSimuStates),
           "connect ClientNetOperObj::sigSimuStates ConsoleOpsService::sigSimuStates err");
    warnIf(connect(pClient, &ClientNetOperObj::sigNetOperReplyResult, this,
                   &ConsoleOpsService::sigNetOperReplyResult),
           "connect ClientNetOperObj::sigNetOperReplyResult ConsoleOpsService::sigNetOperReplyResult err");
    warnIf(connect(pClient, &ClientNetOperObj::sigBeginInstall, this,
                   [this, pcName](const QString& idx) { emit sigInstallState(pcName, idx, 0, 0); }),
           "connect ClientNetOperObj::sigBeginInstall ConsoleOpsService::sigInstallState err");
    warnIf(connect(pClient, &ClientNetOperObj::sigInstallProgress, this,
                   [this, pcName](const QString& idx, int p) { emit sigInstallState(pcName, idx, 1, p); }),
           "connect ClientNetOperObj::sigInstallProgress ConsoleOpsService::sigInstallState err");
    warnIf(connect(pClient, &ClientNetOperObj::sigInstallFinished, this,
                   [this, pcName](const QString& idx) { emit sigInstallState(pcName, idx, 2, 0); }),
           "connect ClientNetOperObj::sigInstallFinished ConsoleOpsService::sigInstallState err");
    // Counted down on the delivery thread, so that stop() sees it while this thread waits.
    warnIf(connect(
               pClient, &ClientNetOperObj::sigOperDelivered, pClient, [this] { m_pending.deref(); },
               Qt::DirectConnection),
           "connect ClientNetOperObj::sigOperDelivered ConsoleOpsService::m_pending err");
    warnIf(connect(pClient, &ClientNetOperObj::sigOperDelivered, this,
                   [this, pcName](int iType, const QStringList& idxs, int iRet) {
                       emit sigOperDelivered(pcName, iType, idxs, iRet);
                   }),
           "connect ClientNetOperObj::sigOperDelivered ConsoleOpsService::sigOperDelivered err");
}

bool ConsoleOpsService::submit(const OpsPcSend& oper)
{
    ClientNetOperObj* pClient = m_bStopped ? nullptr : clientFor(oper.pcKey);
    if (!pClient) {
        qWarning().noquote() << "operation" << oper.iOperType << "for" << oper.pcKey
                             << "which is not listed: not sent";
        return false;
    }
    m_pending.ref();
    QMetaObject::invokeMethod(
        pClient, [pClient, oper] { pClient->Operate(oper); }, Qt::QueuedConnection);
    return true;
}

void ConsoleOpsService::stop(int drainMs)
{
    if (m_bStopped)
        return;
    m_bStopped = true;
    QDeadlineTimer deadline(drainMs);
    while (m_pending.loadAcquire() > 0 && !deadline.hasExpired()) {
        QEventLoop loop; // results of the deliveries keep coming to this thread meanwhile
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (m_pending.loadAcquire() > 0)
        qWarning("%d console operations not delivered when the console closed", m_pending.loadAcquire());
    m_pThread->quit();
    if (!m_pThread->wait(kThreadQuitWaitMs))
        qWarning("the console's delivery thread did not end within %d ms", kThreadQuitWaitMs);
    QMutexLocker lock(&m_lock);
    m_clients.clear();
}
