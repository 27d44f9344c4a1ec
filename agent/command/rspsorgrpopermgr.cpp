#include "rspsorgrpopermgr.h"

#include "cmdresponsor.h"
#include "simusettings.h"

RspsorGrpOperMgr::RspsorGrpOperMgr(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<struSimuOper>("struSimuOper");
    qRegisterMetaType<CCommResult>("CCommResult");
}

RspsorGrpOperMgr::~RspsorGrpOperMgr()
{
    qDeleteAll(m_responsors);
}

void RspsorGrpOperMgr::SetOpers(const QList<struSimuOper>& opers)
{
    m_opers = opers;
}

void RspsorGrpOperMgr::BeforeRun()
{
    for (const struSimuOper& oper : qAsConst(m_opers)) {
        if (oper.memuIdx.isEmpty())
            continue; // a create names no instance yet
        SimuSettings::updateSimuRecord(oper.memuIdx, [&](struSimuRecord& rec) {
            rec.iTime = oper.iTime;
            switch (oper.iOperType) {
            case eOperStartup:
                rec.iState = eStateStarting;
                break;
            case eOperClose:
                rec.iState = eStateClosing;
                break;
            case eOperDelete:
                rec.iState = eStateDeleting;
                break;
            default:
                break;
            }
        });
    }
}

void RspsorGrpOperMgr::AfterRun(const QList<CCommResult>& results)
{
    Q_UNUSED(results);
}

void RspsorGrpOperMgr::slRunRspsMgr()
{
    RunGroup();
    emit sigMgrFinished();
}

CCommResult RspsorGrpOperMgr::RunResponsor(CmdResponsor* pResponsor, const struSimuOper& oper)
{
    m_responsors.append(pResponsor);
    pResponsor->SetOper(oper);
    const CCommResult cRet = pResponsor->TemplateRun();
    emit sigOperDone(oper, cRet);
    return cRet;
}
