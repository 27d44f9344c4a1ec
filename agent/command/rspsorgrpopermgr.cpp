#include "rspsorgrpopermgr.h"

#include "cmdresponsor.h"
#include "simuinfo.h"
#include "simuinfoxmlgainer.h"
#include "simusettings.h"

#include "operloggerobj.h"
#include "resultcodes.h"

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
    const int simuType = SimuSettings::getSimuType().iExtraRet;
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
        qWarning().noquote()
            << QStringLiteral("record %1 of the command skipped: %2")
                   .arg(i)
                   .arg(oper.memuIdx.isEmpty()
                            ? QStringLiteral("it names no instance")
                            : QStringLiteral("no instance \"%1\" on this PC").arg(oper.memuIdx));
    }
    if (skipped > kNamedSkips)
        qWarning().noquote()
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
    qWarning().noquote()
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
