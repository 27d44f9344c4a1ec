#include "cmdresponsor.h"

#include "simuinfoxmlgainer.h"
#include "simusettings.h"

#include <QDebug>

CmdResponsor::CmdResponsor(const struNotifierOptions& options, QObject* parent)
    : QObject(parent), m_notifierOptions(options)
{
}

CmdResponsor::~CmdResponsor() = default;

void CmdResponsor::SetOper(const struSimuOper& oper)
{
    m_oper = oper;
    m_strNickName = SimuSettings::getPcNickName().str;
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
    qWarning() << "operate type:" << m_oper.iOperType;
    const CCommResult cRet = DoOperate();
    qWarning().noquote() << "operate ret:" << cRet.str << " errCode:" << cRet.iRet;
    NotifierRun(cRet, m_oper, m_notifierOptions);
    qWarning().noquote() << "SetState str:" << cRet.str << " errCode:" << cRet.iRet;
    AfterState(cRet);
    return cRet;
}

void CmdResponsor::AfterState(const CCommResult& cRet)
{
    Q_UNUSED(cRet);
}

void CmdResponsor::UpdateStoredState(int iTimeStep, int iState)
{
    if (m_oper.memuIdx.isEmpty())
        return;
    SimuSettings::updateSimuRecord(m_oper.memuIdx, [&](struSimuRecord& rec) {
        rec.iTime += iTimeStep;
        rec.iState = iState;
    });
}
