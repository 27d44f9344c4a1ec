#include "rspsorgrpopermgr.h"

#include "cmdresponsor.h"
#include "simuinfo.h"
#include "simuinfoxmlgainer.h"
#include "simusettings.h"

#include <QDebug>
#include <QSet>
#include <QVector>

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

void RspsorGrpOperMgr::DropUnknownRecords()
{
    const int simuType = SimuSettings::getSimuType().iExtraRet;
    const bool haveInventory = simuType == eProductMEmu || simuType == eProductLdPlayer;
    QSet<QString> known;
    if (haveInventory) {
        const QVector<SimuInfo> infos = SimuInfoXmlGainer::readInventory("RspsorGrpOperMgr");
        for (const SimuInfo& info : infos)
            known.insert(info.idx());
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
