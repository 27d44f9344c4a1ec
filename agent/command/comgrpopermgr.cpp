#include "comgrpopermgr.h"

#include "closesimuresponsor.h"
#include "createsimuresponsor.h"
#include "deletesimurspsor.h"
#include "renamesimuresponsor.h"
#include "simusettings.h"
#include "startupsimuresponsor.h"

#include <QAtomicInt>
#include <QDebug>

namespace {
QAtomicInt g_liveCount;
}

ComGrpOperMgr::ComGrpOperMgr(const struNotifierOptions& options, QObject* parent)
    : RspsorGrpOperMgr(options, parent)
{
    g_liveCount.ref();
}

ComGrpOperMgr::~ComGrpOperMgr()
{
    g_liveCount.deref();
}

int ComGrpOperMgr::LiveCount()
{
    return g_liveCount.loadAcquire();
}

CmdResponsor* ComGrpOperMgr::CreateResponsor(int iOperType)
{
    switch (iOperType) {
    case eOperStartup:
        return new StartupSimuResponsor(m_notifierOptions);
    case eOperClose:
        return new CloseSimuResponsor(m_notifierOptions);
    case eOperDelete:
        return new DeleteSimuRspsor(m_notifierOptions);
    case eOperRename:
        return new RenameSimuResponsor(m_notifierOptions);
    case eOperCreate:
        return new CreateSimuResponsor(m_notifierOptions);
    default:
        return nullptr;
    }
}

QList<CCommResult> ComGrpOperMgr::RunGroup()
{
    if (m_bRefused)
        return ReportRefusal(m_refusal);
    const CCommResult limits = CheckRecordLimits(DropUnknownRecords());
    if (limits.iRet != 0)
        return ReportRefusal(limits);
    BeforeRun();
    QList<CCommResult> results;
    for (const struSimuOper& oper : qAsConst(m_opers)) {
        CmdResponsor* pResponsor = CreateResponsor(oper.iOperType);
        if (!pResponsor) {
            qWarning() << "ComGrpOperMgr: no responder for operation type" << oper.iOperType << "skipped";
            continue;
        }
        const CCommResult cRet = RunResponsor(pResponsor, oper);
        EmitWatchChange(pResponsor, cRet);
        results.append(cRet);
    }
    AfterRun(results);
    return results;
}

void ComGrpOperMgr::EmitWatchChange(const CmdResponsor* pResponsor, const CCommResult& cRet)
{
    if (cRet.iRet != 0)
        return;
    const struSimuOper& oper = pResponsor->Oper();
    if (oper.iOperType == eOperStartup && daemonModeOn(SimuSettings::getDaemonModel().iExtraRet))
        emit sigNewSimuStarted(pResponsor->SimuName(), oper.memuIdx);
    else if (oper.iOperType == eOperClose)
        emit sigSimuClosed(pResponsor->SimuName(), oper.memuIdx);
}
