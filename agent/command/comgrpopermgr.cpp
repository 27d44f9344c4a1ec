#include "comgrpopermgr.h"

#include "agentlogging.h"
#include "agentsettings.h"
#include "closesimuresponsor.h"
#include "createsimuresponsor.h"
#include "deletesimurspsor.h"
#include "inventorycache.h"
#include "renamesimuresponsor.h"
#include "startupsimuresponsor.h"

#include <QAtomicInt>
#include <QSet>
#include <QThreadPool>
#include <QVector>

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
    const int parallel = StartsAtOnce();
    const QList<CCommResult> results = parallel > 1 ? RunStartsSideBySide(parallel) : RunOneAfterAnother();
    AfterRun(results);
    return results;
}

int ComGrpOperMgr::StartsAtOnce() const
{
    QSet<QString> instances;
    for (const struSimuOper& oper : m_opers) {
        // An instance named twice starts twice, one start after the other.
        if (oper.iOperType != eOperStartup || instances.contains(oper.memuIdx))
            return 1;
        instances.insert(oper.memuIdx);
    }
    return qMax(1, qMin(AgentSettings::effectiveParallelStarts(), int(m_opers.size())));
}

QList<CCommResult> ComGrpOperMgr::RunOneAfterAnother()
{
    QList<CCommResult> results;
    for (const struSimuOper& oper : qAsConst(m_opers)) {
        CmdResponsor* pResponsor = CreateResponsor(oper.iOperType);
        if (!pResponsor) {
            qCWarning(lcCommand) << "ComGrpOperMgr: no responder for operation type" << oper.iOperType
                                 << "skipped";
            continue;
        }
        const CCommResult cRet = RunResponsor(pResponsor, oper);
        EmitWatchChange(pResponsor, cRet);
        // Discovery answers from the inventory as last read: after a change it is read again.
        if (oper.iOperType == eOperCreate || oper.iOperType == eOperDelete || oper.iOperType == eOperRename)
            InventoryCache::instance().invalidate();
        results.append(cRet);
    }
    return results;
}

// Up to `parallel` instances boot at the same time, taken in the command's order; each is reported
// on its own as it comes up. The results are returned in record order.
QList<CCommResult> ComGrpOperMgr::RunStartsSideBySide(int parallel)
{
    qCInfo(lcCommand) << "ComGrpOperMgr:" << m_opers.size() << "starts," << parallel << "at a time";
    QVector<CCommResult> results(m_opers.size());
    QThreadPool boots;
    boots.setMaxThreadCount(parallel);
    for (int i = 0; i < m_opers.size(); ++i) {
        CmdResponsor* pResponsor = CreateResponsor(eOperStartup);
        AdoptResponsor(pResponsor, m_opers.at(i));
        boots.start([this, pResponsor, i, &results] {
            results[i] = RunAdopted(pResponsor);
            EmitWatchChange(pResponsor, results[i]);
        });
    }
    boots.waitForDone();
    return results.toList();
}

void ComGrpOperMgr::EmitWatchChange(const CmdResponsor* pResponsor, const CCommResult& cRet)
{
    if (cRet.iRet != 0)
        return;
    const struSimuOper& oper = pResponsor->Oper();
    if (oper.iOperType == eOperStartup && AgentSettings::daemonOn())
        emit sigNewSimuStarted(pResponsor->SimuName(), oper.memuIdx);
    else if (oper.iOperType == eOperClose)
        emit sigSimuClosed(pResponsor->SimuName(), oper.memuIdx);
}
