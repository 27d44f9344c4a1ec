#pragma once

#include "resultsledger.h"

#include <QObject>
#include <QPointer>

class CenterToolMainWnd;
class ConsoleOpsWiring;
class QPushButton;
class ResultBoxGate;
class ResultsLedgerPane;

// Puts the results ledger into the main window: the pane below the device list and the tiles (its
// button in the top bar hides and shows it, remembered in the settings), the ledger fed by the
// operations' signals and the result server's reports, one result box at a time, and "重试失败"
// through the same checks as an operation from the menu.
class ResultsLedgerWiring : public QObject
{
    Q_OBJECT
public:
    ResultsLedgerWiring(CenterToolMainWnd& wnd, ConsoleOpsWiring& ops, const ResultsLedger::Options& options);
    ~ResultsLedgerWiring() override;

    // The ledger in the data directory with the deadlines of the settings (ledger/...).
    static ResultsLedger::Options optionsFromSettings();

    ResultsLedger* ledger() const { return m_pLedger; }
    ResultsLedgerPane* pane() const { return m_pPane; }
    QPushButton* toggleBtn() const { return m_pToggle; }
    ResultBoxGate* boxGate() const { return m_pGate; }

    // Sends the operation again to the entry's failed, unanswered and refused targets, through the
    // checks; what the checks refuse is entered as refused. Returns the new entry's id (0 nothing).
    qint64 retryFailed(qint64 id);
    // Asks for a file and writes the entry there as CSV.
    void exportCsv(qint64 id);

private:
    void connectOps();
    void setPaneVisible(bool b);

    CenterToolMainWnd& m_wnd;
    ConsoleOpsWiring& m_ops;
    ResultsLedger* m_pLedger = nullptr;
    ResultsLedgerPane* m_pPane = nullptr;
    QPushButton* m_pToggle = nullptr;
    ResultBoxGate* m_pGate = nullptr;
};

ResultsLedgerWiring*
attachResultsLedger(CenterToolMainWnd& wnd, ConsoleOpsWiring& ops,
                    const ResultsLedger::Options& options = ResultsLedgerWiring::optionsFromSettings());
