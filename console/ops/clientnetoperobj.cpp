#include "clientnetoperobj.h"

#include "agentregistry.h"
#include "consoletypes.h"
#include "groupoperchecks.h"
#include "jsoncodec.h"
#include "opergrpsimumgr.h"
#include "sentoperledger.h"
#include "simurecords.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QMetaMethod>

namespace {

// The state a target shows while its operation is under way; 0 for none.
int busyState(int iType)
{
    switch (iType) {
    case eOperStartup:
        return eStateStarting;
    case eOperClose:
        return eStateClosing;
    case eOperInstall:
        return eStateInstalling;
    case eOperDelete:
        return eStateDeleting;
    default:
        return 0;
    }
}

// The state shown once the console failed to deliver, first with time -1 (always applies), then with
// the operation time + 1 (what the user keeps seeing).
int stateAfterFailure(int iType, bool second)
{
    switch (iType) {
    case eOperStartup:
    case eOperDelete:
        return eStateNotStarted;
    case eOperClose:
        return second ? eStateNotStarted : eStateRunning;
    case eOperInstall:
        return eStateRunning;
    default:
        return 0;
    }
}

} // namespace

ClientNetOperObj::ClientNetOperObj(const QString& pcName, const QString& nickName, const QString& ipAddr,
                                   quint16 agentPort, QObject* parent)
    : QObject(parent), m_pcName(pcName), m_nickName(nickName), m_ipAddr(ipAddr), m_agentPort(agentPort)
{
    ConsoleTypes::registerMetaTypes();
}

void ClientNetOperObj::SetWaits(int connectWaitMs, int writeWaitMs, int filePauseMs)
{
    m_connectWaitMs = connectWaitMs;
    m_writeWaitMs = writeWaitMs;
    m_filePauseMs = filePauseMs;
}

// Sockets are made per operation; nothing to set up beforehand.
void ClientNetOperObj::slInitSocket()
{
    qWarning().noquote() << "ClientNetOperObj ready for" << m_nickName << m_ipAddr << m_agentPort;
}

bool ClientNetOperObj::isJsonStateConnected() const
{
    static const QMetaMethod json = QMetaMethod::fromSignal(&ClientNetOperObj::sigNewSimuStateParamArrived);
    return isSignalConnected(json);
}

// The messages name the PC by its computer name, the key of its list entry and tile drawer: nick
// names are the users' and need not differ between PCs.
void ClientNetOperObj::EmitStates(const QStringList& memuIdxs, int iState, int iTime)
{
    if (iState == 0 || memuIdxs.isEmpty())
        return;
    emit sigSimuStates(m_pcName, memuIdxs, iState, iTime);
    if (!isJsonStateConnected())
        return;
    for (const QString& idx : memuIdxs)
        emit sigNewSimuStateParamArrived(JsonCodec::serializeSimuState(m_pcName, idx, iState, iTime, -1));
}

void ClientNetOperObj::slSetStateAtBegin(int iType, QStringList strMemuIdxList, int iTime)
{
    EmitStates(strMemuIdxList, busyState(iType), iTime);
}

void ClientNetOperObj::slSetOperArgument(QString strArg)
{
    m_strArg = strArg;
}

void ClientNetOperObj::slSetStateAtEndIfFail(int iType, QStringList strMemuIdxList)
{
    EmitStates(strMemuIdxList, stateAfterFailure(iType, false), -1);
}

void ClientNetOperObj::slSetStateWhenCenterToolErr(int iType, QStringList strMemuIdxList, int iTime)
{
    EmitStates(strMemuIdxList, stateAfterFailure(iType, true), iTime + 1);
}

QString ClientNetOperObj::IpAddr() const
{
    const QString current = m_pRegistry ? m_pRegistry->connectAddress(m_pcName) : QString();
    return current.isEmpty() ? m_ipAddr : current;
}

QString ClientNetOperObj::NickName() const
{
    struPcEntry pc;
    if (m_pRegistry && m_pRegistry->entry(m_pcName, pc) && !pc.nickName.isEmpty())
        return pc.nickName;
    return m_nickName;
}

void ClientNetOperObj::slOperateSimus(int iType, QStringList strMemuIdxList)
{
    Enqueue(iType, strMemuIdxList);
}

void ClientNetOperObj::slInstallApk4Simus(QStringList strSimusList, QString strPath)
{
    m_strArg = strPath;
    Enqueue(eOperInstall, strSimusList);
}

void ClientNetOperObj::slRemoteDesktop(int iVideoPort, QString strRunId)
{
    m_iRmtDesktopPort = iVideoPort;
    m_strRmtDesktopRunId = strRunId;
    Enqueue(eOperRmtDesktopBegin, {RemoteDesktopBeginMarker()});
}

void ClientNetOperObj::slCloseRemoteDesktop()
{
    Enqueue(eOperRmtDesktopEnd, {RemoteDesktopEndMarker()});
}

void ClientNetOperObj::Operate(const OpsPcSend& oper)
{
    switch (oper.iOperType) {
    case eOperInstall:
        return slInstallApk4Simus(oper.memuIdxs, oper.strArg);
    case eOperRename:
        m_strArg = oper.strArg;
        return Enqueue(oper.iOperType, oper.memuIdxs);
    case eOperRmtDesktopBegin:
        return slRemoteDesktop(oper.iVideoPort, oper.runId);
    case eOperRmtDesktopEnd:
        m_strRmtDesktopRunId = oper.runId.isEmpty() ? m_strRmtDesktopRunId : oper.runId;
        return slCloseRemoteDesktop();
    default:
        return Enqueue(oper.iOperType, oper.memuIdxs);
    }
}

void ClientNetOperObj::Enqueue(int iType, const QStringList& memuIdxs)
{
    struQueuedOper oper;
    oper.iType = iType;
    oper.memuIdxs = memuIdxs;
    if (iType == eOperInstall || iType == eOperRename)
        oper.strArg = m_strArg;
    if (iType == eOperRmtDesktopBegin || iType == eOperRmtDesktopEnd) {
        oper.iVideoPort = m_iRmtDesktopPort;
        oper.runId = m_strRmtDesktopRunId;
    }
    m_queue.enqueue(oper);
    StartNext();
}

DevControlAbsMgr* ClientNetOperObj::CreateMgr(const struQueuedOper& oper, int iTime)
{
    DevOperData data;
    data.iOperType = oper.iType;
    data.memuIdxs = oper.memuIdxs;
    data.ipAddr = IpAddr();
    data.nickName = NickName();
    data.pcName = m_pcName;
    data.strArg = oper.strArg;
    data.port = m_agentPort;
    if (oper.iType == eOperInstall) // larger files are refused before this
        data.iExtra = int(qBound<qint64>(0, QFileInfo(oper.strArg).size(), INT_MAX));
    else if (oper.iType == eOperRmtDesktopBegin)
        data.iExtra = oper.iVideoPort;
    data.iTime = iTime;
    data.runId = oper.runId;
    data.connectWaitMs = m_connectWaitMs;
    data.writeWaitMs = m_writeWaitMs;
    data.filePauseMs = m_filePauseMs;
    if (oper.iType != eOperInstall)
        return new OperGrpSimuMgr(data, this);
    auto* pMgr = new OperGrpSimuInstallMgr(data, this);
    connect(pMgr, &OperGrpSimuInstallMgr::sigBeginInstall, this, &ClientNetOperObj::slEmitBeginInstall);
    connect(pMgr, &OperGrpSimuInstallMgr::sigInstallProgress, this, &ClientNetOperObj::slEmitInstallProgress);
    connect(pMgr, &OperGrpSimuInstallMgr::sigInstallFinished, this, &ClientNetOperObj::slEmitInstallFinished);
    return pMgr;
}

// The next operation of the queue, once the one before it is over. A file the command record cannot
// announce is refused before anything goes out.
void ClientNetOperObj::StartNext()
{
    if (m_pRunning || m_queue.isEmpty())
        return;
    const struQueuedOper oper = m_queue.dequeue();
    const int iTime = NextOperTime();
    slSetStateAtBegin(oper.iType, oper.memuIdxs, iTime);
    if (m_pLedger)
        m_pLedger->add(m_pcName, oper.iType, oper.memuIdxs, iTime);
    if (oper.iType == eOperInstall) {
        const CCommResult size = GroupOperChecks::checkApkSize(oper.strArg);
        if (!size.ok())
            return Delivered(oper, iTime, size);
    }
    m_pRunning = CreateMgr(oper, iTime);
    connect(m_pRunning, &DevControlAbsMgr::sigFinished, this,
            [this, oper, iTime](const CCommResult& r) { Delivered(oper, iTime, r); });
    m_pRunning->Start();
}

void ClientNetOperObj::Delivered(const struQueuedOper& oper, int iTime, const CCommResult& r)
{
    if (m_pRunning) {
        m_pRunning->deleteLater();
        m_pRunning = nullptr;
    }
    if (r.ok()) {
        slSetStateAtEndIfSuccess(oper.iType, oper.memuIdxs);
    } else {
        if (m_pLedger)
            m_pLedger->remove(m_pcName, oper.iType, oper.memuIdxs, iTime);
        slSetStateAtEndIfFail(oper.iType, oper.memuIdxs);
        slReplyResult(new CCommResult(r));
        slSetStateWhenCenterToolErr(oper.iType, oper.memuIdxs, iTime);
    }
    emit sigOperDelivered(oper.iType, oper.memuIdxs, r.iRet);
    // From the event loop: a queue of failures does not nest one delivery in another.
    QMetaObject::invokeMethod(this, &ClientNetOperObj::StartNext, Qt::QueuedConnection);
}

void ClientNetOperObj::slSetStateAtEndIfSuccess(int iType, QStringList strMemuIdxList)
{
    qInfo().noquote() << "operation" << iType << "delivered to" << m_pcName << "for"
                      << strMemuIdxList.join(',');
}

void ClientNetOperObj::slReplyResult(CCommResult* pRet)
{
    if (pRet->ok()) {
        delete pRet;
        return;
    }
    qWarning().noquote() << "operation to" << m_pcName << IpAddr() << "failed:" << pRet->iRet << pRet->str
                         << pRet->log;
    emit sigNetOperReplyResult(pRet);
}

// Seconds since the epoch; within one second successive operations count up from the clock, so a
// burst runs at most one second ahead per operation and the next second starts from the clock again.
int ClientNetOperObj::NextOperTime()
{
    const int now = int(QDateTime::currentSecsSinceEpoch());
    m_iLastOperTime = qMax(now, m_iLastOperTime + 1);
    return m_iLastOperTime;
}

void ClientNetOperObj::slEmitBeginInstall(QString strMemuIdx)
{
    emit sigBeginInstall(strMemuIdx);
}

void ClientNetOperObj::slEmitInstallProgress(QString strMemuIdx, int iProgress)
{
    emit sigInstallProgress(strMemuIdx, iProgress);
}

void ClientNetOperObj::slEmitInstallFinished(QString strMemuIdx)
{
    emit sigInstallFinished(strMemuIdx);
}
