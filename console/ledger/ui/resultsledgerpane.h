#pragma once

#include <QSortFilterProxyModel>
#include <QWidget>

class QComboBox;
class QLineEdit;
class QPushButton;
class QTreeView;
class ResultsLedger;

// What the pane shows of the ledger: every operation, or only the failed targets; one PC's; one kind of
// operation. An operation is shown when a target of it passes.
class LedgerFilterProxy : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    explicit LedgerFilterProxy(QObject* parent = nullptr);
    void setFailedOnly(bool b);
    void setPc(const QString& pc);
    void setOperType(int iOperType); // -1 every kind

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override;

private:
    bool m_bFailedOnly = false;
    QString m_pc;
    int m_iOperType = -1;
};

// The results pane of the main window: the ledger's operations, expandable to their targets, with
// its filters, "重试失败" and the CSV export of the selected operation.
class ResultsLedgerPane : public QWidget
{
    Q_OBJECT
public:
    explicit ResultsLedgerPane(ResultsLedger* pLedger, QWidget* parent = nullptr);

    QTreeView* view() const { return m_pView; }
    QComboBox* stateFilter() const { return m_pStateFilter; }
    QComboBox* operFilter() const { return m_pOperFilter; }
    QLineEdit* pcFilter() const { return m_pPcFilter; }
    QPushButton* retryBtn() const { return m_pRetry; }
    QPushButton* exportBtn() const { return m_pExport; }
    LedgerFilterProxy* proxy() const { return m_pProxy; }
    // The operation of the selected row (itself or one of its targets); 0 none.
    qint64 selectedEntry() const;
    // Selects the row of that operation.
    void selectEntry(qint64 id);

signals:
    void sigRetryFailed(qint64 id);
    void sigExportCsv(qint64 id);

private:
    void updateButtons();

    ResultsLedger* m_pLedger;
    LedgerFilterProxy* m_pProxy;
    QTreeView* m_pView;
    QComboBox* m_pStateFilter;
    QComboBox* m_pOperFilter;
    QLineEdit* m_pPcFilter;
    QPushButton* m_pRetry;
    QPushButton* m_pExport;
};
