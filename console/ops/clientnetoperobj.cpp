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

#include <memory>

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

// The messages name the PC by its computer name, the key of its list entry and tile drawer: nick
// names are the users' and need not differ between PCs.
void ClientNetOperObj::EmitStates(const QStringList& memuIdxs, int iState, int iTime)
{
    if (iState == 0)
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
    int iExtra = 0;
    if (iType == eOperInstall)
        iExtra = int(qBound<qint64>(0, QFileInfo(m_strArg).size(), INT_MAX)); // larger ones are refused
    else if (iType == eOperRmtDesktopBegin)
        iExtra = m_iRmtDesktopPort;
    RunOperation(iType, strMemuIdxList, iExtra);
}

void ClientNetOperObj::slInstallApk4Simus(QStringList strSimusList, QString strPath)
{
    m_strArg = strPath;
    slOperateSimus(eOperInstall, strSimusList);
}

void ClientNetOperObj::slRemoteDesktop(int iVideoPort, QString strRunId)
{
    m_iRmtDesktopPort = iVideoPort;
    m_strRmtDesktopRunId = strRunId;
    slOperateSimus(eOperRmtDesktopBegin, {RemoteDesktopBeginMarker()});
}

void ClientNetOperObj::slCloseRemoteDesktop()
{
    slOperateSimus(eOperRmtDesktopEnd, {RemoteDesktopEndMarker()});
}

DevControlAbsMgr* ClientNetOperObj::CreateMgr(int iType, const QStringList& memuIdxs, int iExtra, int iTime)
{
    DevOperData data;
    data.iOperType = iType;
    data.memuIdxs = memuIdxs;
    data.ipAddr = IpAddr();
    data.nickName = NickName();
    data.pcName = m_pcName;
    data.strArg = (iType == eOperInstall || iType == eOperRename) ? m_strArg : QString();
    data.port = m_agentPort;
    data.iExtra = iExtra;
    data.iTime = iTime;
    if (iType == eOperRmtDesktopBegin || iType == eOperRmtDesktopEnd)
        data.runId = m_strRmtDesktopRunId;
    data.connectWaitMs = m_connectWaitMs;
    data.writeWaitMs = m_writeWaitMs;
    data.filePauseMs = m_filePauseMs;
    if (iType != eOperInstall)
        return new OperGrpSimuMgr(data);
    auto* pMgr = new OperGrpSimuInstallMgr(data);
    connect(pMgr, &OperGrpSimuInstallMgr::sigBeginInstall, this, &ClientNetOperObj::slEmitBeginInstall);
    connect(pMgr, &OperGrpSimuInstallMgr::sigInstallProgress, this, &ClientNetOperObj::slEmitInstallProgress);
    connect(pMgr, &OperGrpSimuInstallMgr::sigInstallFinished, this, &ClientNetOperObj::slEmitInstallFinished);
    return pMgr;
}

CCommResult ClientNetOperObj::RunOperation(int iType, const QStringList& memuIdxs, int iExtra)
{
    const int iTime = NextOperTime();
    slSetStateAtBegin(iType, memuIdxs, iTime);
    if (m_pLedger)
        m_pLedger->add(m_pcName, iType, memuIdxs, iTime);
    const CCommResult r = Deliver(iType, memuIdxs, iExtra, iTime);
    if (r.ok()) {
        slSetStateAtEndIfSuccess(iType, memuIdxs);
    } else {
        if (m_pLedger)
            m_pLedger->remove(m_pcName, iType, memuIdxs, iTime);
        slSetStateAtEndIfFail(iType, memuIdxs);
        slReplyResult(new CCommResult(r));
        slSetStateWhenCenterToolErr(iType, memuIdxs, iTime);
    }
    emit sigOperDelivered(iType, memuIdxs, r.iRet);
    return r;
}

// A file the command record cannot announce is refused before anything goes out.
CCommResult ClientNetOperObj::Deliver(int iType, const QStringList& memuIdxs, int iExtra, int iTime)
{
    if (iType == eOperInstall) {
        const CCommResult size = GroupOperChecks::checkApkSize(m_strArg);
        if (!size.ok())
            return size;
    }
    std::unique_ptr<DevControlAbsMgr> pMgr(CreateMgr(iType, memuIdxs, iExtra, iTime));
    return pMgr->Run();
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
