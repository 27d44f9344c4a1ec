#include "cmdresponsor.h"

#include "agentlogging.h"
#include "agentsettings.h"
#include "simuinfoxmlgainer.h"
#include "simustatestore.h"

#include <QDebug>

CmdResponsor::CmdResponsor(const struNotifierOptions& options, QObject* parent)
    : QObject(parent), m_notifierOptions(options)
{
}

CmdResponsor::~CmdResponsor() = default;

void CmdResponsor::SetOper(const struSimuOper& oper)
{
    m_oper = oper;
    m_strNickName = AgentSettings::pcNickName.value();
    m_strSimuName.clear();
    if (!oper.memuIdx.isEmpty()) {
        SimuInfo info;
        SimuInfoXmlGainer gainer;
        gainer.GetSimuInfo(oper.memuIdx, info);
        m_strSimuName = info.name();
    }
    // An instance the inventory does not know is named by its index rather than by empty quotes.
    if (m_strSimuName.isEmpty())
        m_strSimuName = oper.memuIdx;
}

CCommResult CmdResponsor::TemplateRun()
{
    const CCommResult cRet = OperateAndStore();
    Report(cRet);
    return cRet;
}

CCommResult CmdResponsor::OperateAndStore()
{
    qCDebug(lcCommand) << "operate type:" << m_oper.iOperType;
    const CCommResult cRet = DoOperate();
    if (cRet.iRet != 0)
        qCWarning(lcCommand).noquote() << "operate ret:" << cRet.str << " errCode:" << cRet.iRet << cRet.log;
    else
        qCInfo(lcCommand).noquote() << "operate ret:" << cRet.str.trimmed() << " errCode:" << cRet.iRet;
    StoreReportedState(cRet, m_oper);
    qCDebug(lcCommand).noquote() << "SetState str:" << cRet.str << " errCode:" << cRet.iRet;
    AfterState(cRet);
    return cRet;
}

void CmdResponsor::Report(const CCommResult& cRet)
{
    ReportToConsole(cRet, m_oper, m_notifierOptions);
}

void CmdResponsor::AfterState(const CCommResult& cRet)
{
    Q_UNUSED(cRet);
}

void CmdResponsor::UpdateStoredState(int iTimeStep, int iState)
{
    if (m_oper.memuIdx.isEmpty())
        return;
    SimuStateStore::instance().update(m_oper.memuIdx, [&](struSimuRecord& rec) {
        rec.iTime += iTimeStep;
        rec.iState = iState;
    });
}
