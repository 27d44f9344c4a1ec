#include "resultsledgerpane.h"

#include "ledgertypes.h"
#include "resultsledger.h"
#include "simurecords.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

LedgerFilterProxy::LedgerFilterProxy(QObject* parent) : QSortFilterProxyModel(parent)
{
    setRecursiveFilteringEnabled(true);
    setDynamicSortFilter(true); // changes come in batches (ResultsLedger::flush)
}

void LedgerFilterProxy::setFailedOnly(bool b)
{
    m_bFailedOnly = b;
    invalidateFilter();
}

void LedgerFilterProxy::setPc(const QString& pc)
{
    m_pc = pc.trimmed();
    invalidateFilter();
}

void LedgerFilterProxy::setOperType(int iOperType)
{
    m_iOperType = iOperType;
    invalidateFilter();
}

// Targets decide; an operation passes through one of them (recursive filtering), and one without
// targets when no target filter is set.
bool LedgerFilterProxy::filterAcceptsRow(int row, const QModelIndex& parent) const
{
    const QModelIndex idx = sourceModel()->index(row, 0, parent);
    if (m_iOperType >= 0 && idx.data(ResultsLedger::OperTypeRole).toInt() != m_iOperType)
        return false;
    if (!parent.isValid())
        return !m_bFailedOnly && m_pc.isEmpty();
    if (m_bFailedOnly && idx.data(ResultsLedger::FailureCountRole).toInt() == 0)
        return false;
    return m_pc.isEmpty() || idx.data(ResultsLedger::PcRole).toString().contains(m_pc, Qt::CaseInsensitive);
}

ResultsLedgerPane::ResultsLedgerPane(ResultsLedger* pLedger, QWidget* parent)
    : QWidget(parent), m_pLedger(pLedger), m_pProxy(new LedgerFilterProxy(this)), m_pView(new QTreeView),
      m_pStateFilter(new QComboBox), m_pOperFilter(new QComboBox), m_pPcFilter(new QLineEdit),
      m_pRetry(new QPushButton(QStringLiteral("重试失败"))),
      m_pExport(new QPushButton(QStringLiteral("导出CSV")))
{
    setObjectName(QStringLiteral("resultsLedgerPane"));
    m_pProxy->setSourceModel(pLedger);
    m_pView->setModel(m_pProxy);
    m_pView->setUniformRowHeights(true);
    m_pView->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pView->header()->setStretchLastSection(false);
    m_pView->header()->setSectionResizeMode(ResultsLedger::ColResult, QHeaderView::Stretch);
    // Wide enough for a whole time and an operation's counts, measured once (sizing to the contents
    // would read every row at every change).
    const QFontMetrics metrics(m_pView->font());
    const auto widthOf = [&](const QString& sample) { return metrics.horizontalAdvance(sample) + 40; };
    m_pView->setColumnWidth(ResultsLedger::ColTime, widthOf(QStringLiteral("2026-12-09 23:59:59")));
    m_pView->setColumnWidth(ResultsLedger::ColState,
                            widthOf(QStringLiteral("成功 9999 / 失败 9999 / 等待 9999")));
    m_pStateFilter->addItems({QStringLiteral("全部"), QStringLiteral("只看失败")});
    m_pOperFilter->addItem(QStringLiteral("全部操作"), -1);
    for (int t : {eOperStartup, eOperClose, eOperInstall, eOperDelete, eOperRename, eOperCreate})
        m_pOperFilter->addItem(LedgerText::operText(t), t);
    m_pPcFilter->setPlaceholderText(QStringLiteral("按PC筛选"));
    m_pPcFilter->setClearButtonEnabled(true);
    // In the main window (a dialog) Enter must not press a button: a retry goes out only on a click.
    for (QPushButton* b : {m_pRetry, m_pExport}) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }

    auto* bar = new QHBoxLayout;
    bar->addWidget(new QLabel(QStringLiteral("结果记录")));
    bar->addWidget(m_pStateFilter);
    bar->addWidget(m_pOperFilter);
    bar->addWidget(m_pPcFilter, 1);
    bar->addWidget(m_pRetry);
    bar->addWidget(m_pExport);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(bar);
    layout->addWidget(m_pView, 1);

    connect(m_pStateFilter, qOverload<int>(&QComboBox::currentIndexChanged), this,
            [this](int i) { m_pProxy->setFailedOnly(i == 1); });
    connect(m_pOperFilter, qOverload<int>(&QComboBox::currentIndexChanged), this,
            [this] { m_pProxy->setOperType(m_pOperFilter->currentData().toInt()); });
    connect(m_pPcFilter, &QLineEdit::textChanged, m_pProxy, &LedgerFilterProxy::setPc);
    connect(m_pRetry, &QPushButton::clicked, this, [this] {
        if (const qint64 id = selectedEntry())
            emit sigRetryFailed(id);
    });
    connect(m_pExport, &QPushButton::clicked, this, [this] {
        if (const qint64 id = selectedEntry())
            emit sigExportCsv(id);
    });
    connect(m_pView->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &ResultsLedgerPane::updateButtons);
    connect(pLedger, &QAbstractItemModel::dataChanged, this, &ResultsLedgerPane::updateButtons);
    updateButtons();
}

qint64 ResultsLedgerPane::selectedEntry() const
{
    return m_pLedger->entryIdAt(m_pProxy->mapToSource(m_pView->currentIndex()));
}

void ResultsLedgerPane::selectEntry(qint64 id)
{
    for (int r = 0; r < m_pProxy->rowCount(); ++r) {
        const QModelIndex i = m_pProxy->index(r, 0);
        if (i.data(ResultsLedger::EntryIdRole).toLongLong() == id) {
            m_pView->setCurrentIndex(i);
            m_pView->scrollTo(i);
            return;
        }
    }
}

void ResultsLedgerPane::updateButtons()
{
    const struLedgerEntry* e = m_pLedger->entry(selectedEntry());
    m_pRetry->setEnabled(e && e->failureCount() > 0);
    m_pExport->setEnabled(e != nullptr);
}
