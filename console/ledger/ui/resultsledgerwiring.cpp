#include "resultsledgerwiring.h"

#include "centertoolmainwnd.h"
#include "consoleopswiring_p.h"
#include "groupoperchecks.h"
#include "resultboxgate.h"
#include "resultdisplay.h"
#include "resultsledgerpane.h"
#include "simurecords.h"
#include "simusettings.h"
#include "taskresultrcver.h"

#include <QBoxLayout>
#include <QDebug>
#include <QFileDialog>
#include <QPushButton>

namespace {

const QString kPaneVisibleKey = QStringLiteral("ledger/paneVisible");

void checked(bool ok, const char* text)
{
    if (!ok)
        qWarning("%s", text);
}

// The list as the checks see it, with only these targets ticked.
OpsDeviceSnapshot tickedOnly(OpsDeviceSnapshot snap, const QList<QPair<QString, QStringList>>& targets)
{
    for (OpsPcEntry& pc : snap) {
        QStringList want;
        for (const auto& t : targets)
            if (t.first == pc.pcKey)
                want = t.second;
        for (OpsSimuRow& r : pc.rows)
            r.bChecked = want.contains(r.memuIdx);
    }
    return snap;
}

// Rename: the checks of the rename procedure on the one row, the stored name.
CCommResult checkRename(const OpsPcEntry& pc, const QString& idx, const QString& name)
{
    for (const OpsSimuRow& row : pc.rows) {
        if (row.memuIdx != idx)
            continue;
        for (const CCommResult& r :
             {GroupOperChecks::checkRenameOnline(pc), GroupOperChecks::checkRenameState(pc, row),
              GroupOperChecks::checkRenameProduct(pc)})
            if (!r.ok())
                return r;
        return name.isEmpty() ? CCommResult::failure(78, QStringLiteral("模拟器名字不能为空"))
                              : CCommResult();
    }
    return CCommResult::failure(53, QStringLiteral("\"%1\"的%2不存在，不能操作").arg(pc.pcName, idx));
}

} // namespace

ResultsLedgerWiring* attachResultsLedger(CenterToolMainWnd& wnd, ConsoleOpsWiring& ops,
                                         const ResultsLedger::Options& options)
{
    return new ResultsLedgerWiring(wnd, ops, options);
}

ResultsLedger::Options ResultsLedgerWiring::optionsFromSettings()
{
    ResultsLedger::Options o;
    o.dbPath = LedgerStore::FilePathIn(SimuSettings::dataDir());
    auto setting = [](const char* key, int& v, int lo, int hi) {
        v = qBound(lo, SimuSettings::value(QString::fromLatin1(key), v).toInt(), hi);
    };
    setting("ledger/maxEntries", o.maxEntries, 10, 100000);
    setting("ledger/maxAgeDays", o.maxAgeDays, 1, 3650);
    setting("ledger/startDeadlineSecs", o.startSecs, 1, 24 * 3600);
    setting("ledger/startPerTargetSecs", o.startPerTargetSecs, 0, 24 * 3600);
    setting("ledger/otherDeadlineSecs", o.otherSecs, 1, 24 * 3600);
    setting("ledger/installBaseSecs", o.installBaseSecs, 1, 24 * 3600);
    setting("ledger/installPerTargetSecs", o.installPerTargetSecs, 0, 24 * 3600);
    return o;
}

ResultsLedgerWiring::ResultsLedgerWiring(CenterToolMainWnd& wnd, ConsoleOpsWiring& ops,
                                         const ResultsLedger::Options& options)
    : QObject(&wnd), m_wnd(wnd), m_ops(ops), m_pLedger(new ResultsLedger(options, this)),
      m_pGate(new ResultBoxGate(this))
{
    QString error;
    if (!m_pLedger->open(error))
        qWarning().noquote() << "results ledger not kept:" << options.dbPath << error;
    m_pPane = new ResultsLedgerPane(m_pLedger);
    if (auto* pLayout = qobject_cast<QBoxLayout*>(wnd.layout()))
        pLayout->addWidget(m_pPane);
    m_pToggle = new QPushButton(QStringLiteral("结果记录"));
    m_pToggle->setCheckable(true);
    m_pToggle->setFocusPolicy(Qt::NoFocus);
    m_pToggle->setAutoDefault(false);
    if (auto* pBar = qobject_cast<QBoxLayout*>(wnd.refreshBtn()->parentWidget()->layout()))
        pBar->insertWidget(pBar->indexOf(wnd.refreshBtn()), m_pToggle);
    setPaneVisible(SimuSettings::value(kPaneVisibleKey, true).toBool());
    connect(m_pToggle, &QPushButton::toggled, this, [this](bool b) {
        setPaneVisible(b);
        SimuSettings::setValue(kPaneVisibleKey, b);
    });
    connect(m_pPane, &ResultsLedgerPane::sigRetryFailed, this, &ResultsLedgerWiring::retryFailed);
    connect(m_pPane, &ResultsLedgerPane::sigExportCsv, this, &ResultsLedgerWiring::exportCsv);
    connectOps();
}

ResultsLedgerWiring::~ResultsLedgerWiring() = default;

void ResultsLedgerWiring::setPaneVisible(bool b)
{
    m_pPane->setVisible(b);
    const QSignalBlocker block(m_pToggle);
    m_pToggle->setChecked(b);
}

void ResultsLedgerWiring::connectOps()
{
    checked(connect(&m_ops, &ConsoleOpsWiring::sigOperSent, m_pLedger, &ResultsLedger::addSend),
            "connect ConsoleOpsWiring::sigOperSent ResultsLedger::addSend err");
    checked(connect(&m_ops, &ConsoleOpsWiring::sigOperDelivered, m_pLedger, &ResultsLedger::slOperDelivered),
            "connect ConsoleOpsWiring::sigOperDelivered ResultsLedger::slOperDelivered err");
    checked(
        connect(&m_ops, &ConsoleOpsWiring::sigInstallProgress, m_pLedger, &ResultsLedger::slInstallProgress),
        "connect ConsoleOpsWiring::sigInstallProgress ResultsLedger::slInstallProgress err");
    checked(connect(m_ops.resultRcver(), &TaskResultRcver::sigReportTaken, m_pLedger,
                    &ResultsLedger::slReportArrived, Qt::QueuedConnection),
            "connect TaskResultRcver::sigReportTaken ResultsLedger::slReportArrived err");
}

qint64 ResultsLedgerWiring::retryFailed(qint64 id)
{
    const struLedgerEntry* e = m_pLedger->entry(id);
    const QList<QPair<QString, QStringList>> targets = m_pLedger->retryTargets(id);
    if (!e || targets.isEmpty())
        return 0;
    const int iType = e->iOperType;
    const QString arg = e->strArg;
    const OpsDeviceSnapshot snap = tickedOnly(m_ops.snapshot(), targets);
    OpsPlan plan;
    if (iType == eOperRename) {
        const auto pc = std::find_if(snap.begin(), snap.end(),
                                     [&](const OpsPcEntry& p) { return p.pcKey == targets.first().first; });
        const QString idx = targets.first().second.first();
        plan.refusal = pc == snap.end()
                           ? CCommResult::failure(61, QStringLiteral("远程客户端处于离线状态，不能操作"))
                           : checkRename(*pc, idx, arg);
        if (plan.refusal.ok()) {
            OpsPcSend s;
            s.pcKey = pc->pcKey;
            s.iOperType = iType;
            s.memuIdxs = QStringList{idx};
            s.strArg = arg;
            plan.sends.append(s);
        }
    } else {
        plan.refusal =
            iType == eOperInstall ? GroupOperChecks::checkInstallTargetsStarted(snap) : CCommResult();
        if (plan.refusal.ok())
            plan = GroupOperChecks::planCheckAndSend(snap, iType, arg);
    }
    const qint64 newId = m_pLedger->beginOperation(iType, arg);
    QSet<QString> sent;
    for (const OpsPcSend& s : qAsConst(plan.sends)) {
        m_ops.send(s);
        sent.insert(s.pcKey);
    }
    // PCs the list no longer holds, and those at and after the refusing one, got nothing.
    for (const auto& t : targets) {
        if (sent.contains(t.first))
            continue;
        const bool listed =
            std::any_of(snap.begin(), snap.end(), [&](const OpsPcEntry& p) { return p.pcKey == t.first; });
        CCommResult why = plan.refusal;
        if (!listed)
            why = CCommResult::failure(61, QStringLiteral("远程客户端处于离线状态，不能操作"));
        else if (why.ok())
            why = CCommResult::failure(
                53, QStringLiteral("\"%1\"的%2不存在，不能操作").arg(t.first, t.second.join(',')));
        m_pLedger->addRefused(newId, t.first, t.second, why.iRet, why.str);
    }
    if (!plan.refusal.ok())
        m_ops.dialogs().showResult(plan.refusal);
    m_pPane->selectEntry(newId);
    return newId;
}

void ResultsLedgerWiring::exportCsv(qint64 id)
{
    QFileDialog dlg(&m_wnd, QStringLiteral("导出结果"), QString(), QStringLiteral("CSV (*.csv)"));
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setDefaultSuffix(QStringLiteral("csv"));
    dlg.selectFile(QStringLiteral("结果%1.csv").arg(id));
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return;
    QString error;
    if (!m_pLedger->exportCsv(id, dlg.selectedFiles().first(), error))
        m_ops.dialogs().showResult(CCommResult::failure(1, QStringLiteral("导出失败：%1").arg(error)));
}
