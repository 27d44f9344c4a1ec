#include "rspsorgrpopermgr.h"

#include "agentlogging.h"
#include "agentsettings.h"
#include "cmdresponsor.h"
#include "inventorycache.h"
#include "operloggerobj.h"
#include "resultcodes.h"
#include "simuinfo.h"
#include "simuinfoxmlgainer.h"
#include "simustatestore.h"

#include <QDebug>
#include <QSet>
#include <QVector>

#include <algorithm>

RspsorGrpOperMgr::RspsorGrpOperMgr(const struNotifierOptions& options, QObject* parent)
    : QObject(parent), m_notifierOptions(options)
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

void RspsorGrpOperMgr::Refuse(const CCommResult& why)
{
    m_bRefused = true;
    m_refusal = why;
}

int RspsorGrpOperMgr::DropUnknownRecords()
{
    const int simuType = AgentSettings::simuType;
    const bool haveInventory = simuType == eProductMEmu || simuType == eProductLdPlayer;
    QSet<QString> known;
    int instances = 0;
    if (haveInventory) {
        const QVector<SimuInfo> infos = SimuInfoXmlGainer::readInventory("RspsorGrpOperMgr");
        for (const SimuInfo& info : infos)
            known.insert(info.idx());
        instances = infos.size();
    }
    // A hostile "size" announces thousands of members: the first few are named, the rest counted.
    constexpr int kNamedSkips = 5;
    QList<struSimuOper> kept;
    int skipped = 0;
    for (int i = 0; i < m_opers.size(); ++i) {
        const struSimuOper& oper = m_opers.at(i);
        const bool ok = oper.iOperType == eOperCreate ||
                        (!oper.memuIdx.isEmpty() && (!haveInventory || known.contains(oper.memuIdx)));
        if (ok) {
            kept.append(oper);
            continue;
        }
        if (++skipped > kNamedSkips)
            continue;
        qCWarning(lcCommand).noquote()
            << QStringLiteral("record %1 of the command skipped: %2")
                   .arg(i)
                   .arg(oper.memuIdx.isEmpty()
                            ? QStringLiteral("it names no instance")
                            : QStringLiteral("no instance \"%1\" on this PC").arg(oper.memuIdx));
    }
    if (skipped > kNamedSkips)
        qCWarning(lcCommand).noquote()
            << QStringLiteral("%1 more records of the command skipped").arg(skipped - kNamedSkips);
    m_opers = kept;
    return instances;
}

CCommResult RspsorGrpOperMgr::CheckRecordLimits(int iInstances) const
{
    if (m_opers.size() > kMaxRecords)
        return CCommResult::failure(
            ResultCode::kTooManyRecords,
            QStringLiteral("指令含有%1条记录，超过上限%2条，未执行").arg(m_opers.size()).arg(kMaxRecords),
            QStringLiteral("%1 records refused").arg(m_opers.size()));
    const int creates = int(std::count_if(m_opers.cbegin(), m_opers.cend(), [](const struSimuOper& oper) {
        return oper.iOperType == eOperCreate;
    }));
    const int room = qMax(0, kMaxSimuCount - iInstances);
    if (creates > room)
        return CCommResult::failure(
            ResultCode::kTooManyRecords,
            QStringLiteral("新建%1个模拟器超过上限：本机最多%2个模拟器，现有%3个，未执行")
                .arg(creates)
                .arg(kMaxSimuCount)
                .arg(iInstances),
            QStringLiteral("%1 creates refused, room for %2").arg(creates).arg(room));
    return CCommResult();
}

QList<CCommResult> RspsorGrpOperMgr::ReportRefusal(const CCommResult& why)
{
    qCWarning(lcCommand).noquote()
        << QStringLiteral("command of %1 records not run: %2 (%3)").arg(m_opers.size()).arg(why.str, why.log);
    operLog(why.str);
    // One report per instance named, so that each shows its state again; creates name none and
    // share one report.
    QList<struSimuOper> reported;
    bool createReported = false;
    for (const struSimuOper& oper : qAsConst(m_opers)) {
        if (oper.memuIdx.isEmpty() ? createReported : m_opers.size() > kMaxRecords && !reported.isEmpty())
            continue;
        createReported = createReported || oper.memuIdx.isEmpty();
        reported.append(oper);
    }
    QList<CCommResult> results;
    for (const struSimuOper& oper : qAsConst(reported)) {
        ReportToConsole(why, oper, m_notifierOptions);
        results.append(why);
    }
    return results;
}

SimuStateStore::Change RspsorGrpOperMgr::BusyChange(const struSimuOper& oper) const
{
    int busy = 0; // the stored state stays
    switch (oper.iOperType) {
    case eOperStartup:
        busy = eStateStarting;
        break;
    case eOperClose:
        busy = eStateClosing;
        break;
    case eOperDelete:
        busy = eStateDeleting;
        break;
    default:
        break;
    }
    return [busy, iTime = oper.iTime](struSimuRecord& rec) {
        rec.iTime = iTime;
        if (busy != 0)
            rec.iState = busy;
    };
}

void RspsorGrpOperMgr::BeforeRun()
{
    QList<struSimuOper> kept;
    for (const struSimuOper& oper : qAsConst(m_opers)) {
        if (oper.memuIdx.isEmpty()) { // a create names no instance yet
            kept.append(oper);
            continue;
        }
        // Records of this command that name the same instance run one after another within the
        // command's one operation on it.
        if (!m_begun.contains(oper.memuIdx) &&
            !SimuStateStore::instance().beginOperation(oper.memuIdx, BusyChange(oper))) {
            RefuseBusy(oper);
            continue;
        }
        ++m_begun[oper.memuIdx];
        kept.append(oper);
    }
    m_opers = kept;
}

// Another operation holds the instance: this record runs nothing. Its console hears why; the stored
// time moves past this command's, so that the state the instance is really in (reported by
// discovery) replaces the refusal on the console.
void RspsorGrpOperMgr::RefuseBusy(const struSimuOper& oper)
{
    SimuInfo info;
    InventoryCache::instance().find(oper.memuIdx, info);
    const QString name = info.name().isEmpty() ? oper.memuIdx : info.name();
    const CCommResult why = CCommResult::failure(
        ResultCode::kInstanceBusy, QStringLiteral("模拟器\"%1\"正在执行其他操作，本次指令未执行").arg(name),
        QStringLiteral("operation %1 on %2 refused: another operation runs on it")
            .arg(oper.iOperType)
            .arg(oper.memuIdx));
    qCInfo(lcCommand).noquote() << why.log;
    operLog(why.str);
    SimuStateStore::instance().update(
        oper.memuIdx, [&](struSimuRecord& rec) { rec.iTime = qMax(rec.iTime, oper.iTime + 2); });
    ReportToConsole(why, oper, m_notifierOptions);
}

void RspsorGrpOperMgr::FinishOperation(const QString& memuIdx, const SimuStateStore::Change& outcome)
{
    if (!m_begun.remove(memuIdx))
        return;
    SimuStateStore::instance().finishOperation(memuIdx, outcome);
}

void RspsorGrpOperMgr::RecordDone(const QString& memuIdx)
{
    const auto it = m_begun.find(memuIdx);
    if (it != m_begun.end() && --it.value() <= 0)
        FinishOperation(memuIdx);
}

void RspsorGrpOperMgr::AfterRun(const QList<CCommResult>& results)
{
    Q_UNUSED(results);
    // Records that ran no responder still end their operation.
    for (const QString& idx : m_begun.keys())
        FinishOperation(idx);
}

void RspsorGrpOperMgr::slRunRspsMgr()
{
    RunGroup();
    emit sigMgrFinished();
}

CCommResult RspsorGrpOperMgr::RunResponsor(CmdResponsor* pResponsor, const struSimuOper& oper)
{
    AdoptResponsor(pResponsor, oper);
    return RunAdopted(pResponsor);
}

void RspsorGrpOperMgr::AdoptResponsor(CmdResponsor* pResponsor, const struSimuOper& oper)
{
    QMutexLocker lock(&m_mutex);
    m_responsors.append(pResponsor);
    pResponsor->SetOper(oper);
}

CCommResult RspsorGrpOperMgr::RunAdopted(CmdResponsor* pResponsor)
{
    // The instance is free before its console hears the outcome: a next command sent on hearing it
    // is not refused as busy.
    const CCommResult cRet = pResponsor->OperateAndStore();
    {
        QMutexLocker lock(&m_mutex);
        RecordDone(pResponsor->Oper().memuIdx);
    }
    pResponsor->Report(cRet);
    emit sigOperDone(pResponsor->Oper(), cRet);
    return cRet;
}
