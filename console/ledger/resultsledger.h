#pragma once

#include "ledgerstore.h"
#include "ledgertypes.h"

#include <QAbstractItemModel>
#include <QHash>
#include <QList>
#include <QSet>
#include <QStringList>

#include <functional>
#include <memory>

class QTimer;

// The results ledger: every operation the user sent, with what became of each target emulator. An
// operation enters as the console hands it to the PCs' command clients; deliveries, the agents'
// reports and the install's progress move its targets on; a target that hears nothing within the
// deadline of its operation becomes "no answer". Kept in a SQLite file of the data directory, pruned
// by age and count, and read back at start.
//
// As an item model: one top-level row per operation, newest first, with one child row per target.
// Changes are shown and stored in batches (a report burst of thousands costs the GUI a few repaints).
// Lives on the GUI thread.
class ResultsLedger : public QAbstractItemModel
{
    Q_OBJECT
public:
    enum eColumn
    {
        ColTime,
        ColOper,
        ColPc,
        ColSimu,
        ColState,
        ColResult,
        ColTaken,
        ColProgress,
        ColumnCount
    };
    enum eRole
    {
        EntryIdRole = Qt::UserRole + 1, // qint64
        StateRole,                      // int eLedgerState (targets), -1 for an entry
        OperTypeRole,                   // int
        PcRole,                         // the target's PC; an entry: its PCs joined by '\n'
        FailureCountRole,               // int
    };

    struct Options
    {
        QString dbPath; // empty: kept in memory only
        int maxEntries = 10000;
        int maxAgeDays = 30;
        // Deadlines of a target's report, from the moment it is handed on.
        // An agent starts a PC's emulators one after another, each within its start-up waits (two
        // waits of 120 polls of a second by default): the first gets them all, each further one a
        // typical boot.
        int startSecs = 250;
        int startPerTargetSecs = 60;
        int installBaseSecs = 60;
        int installPerTargetSecs = 60; // an agent installs one after another
        int installBytesPerSec = 256 * 1024;
        int otherSecs = 60;
        int flushMs = 200;             // batches of changes shown and stored
        int sweepMs = 1000;            // deadlines looked at
        std::function<qint64()> clock; // ms since the epoch; empty: the system clock
    };

    explicit ResultsLedger(const Options& options, QObject* parent = nullptr);
    ~ResultsLedger() override;

    // Reads the kept entries (pruned first). Targets that were open when the console ended get
    // "no answer": their reports can no longer be taken.
    bool open(QString& error);

    // An operation begins: the sends that follow in this turn of the event loop join it (one menu
    // choice sends to many PCs at once). Returns its id.
    qint64 beginOperation(int iOperType, const QString& strArg);
    // One PC's part of an operation was handed to its command client: joins the operation begun in
    // this turn when the type matches, else begins one.
    void addSend(const QString& pcName, int iOperType, const QStringList& memuIdxs, const QString& strArg);
    // The checks refused these targets of the operation.
    void addRefused(qint64 id, const QString& pcName, const QStringList& memuIdxs, int iCode,
                    const QString& text);

    const struLedgerEntry* entry(qint64 id) const;
    const QList<struLedgerEntry*>& entries() const { return m_entries; } // oldest first
    qint64 entryIdAt(const QModelIndex& index) const;
    // The failed, unanswered and refused targets of an entry, per PC in the order sent.
    QList<QPair<QString, QStringList>> retryTargets(qint64 id) const;
    // An entry as CSV (UTF-8 with BOM, a header line, one line per target).
    QByteArray entryCsv(qint64 id) const;
    bool exportCsv(qint64 id, const QString& path, QString& error) const;
    // Shows and stores what changed now rather than at the next batch.
    void flush();
    int openTargetCount() const { return m_openCount; }

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

signals:
    // A target's failure was recorded (the result box tells how many went to the ledger only).
    void sigFailureRecorded(qint64 id);

public slots:
    // A PC's operation left its command client: iRet 0 it reached the agent, else it did not.
    void slOperDelivered(QString strPcName, int iOperType, QStringList strMemuIdxList, int iRet);
    // An agent's report, as the result server took it.
    void slReportArrived(QString strPcName, QString strMemuIdx, int iOperType, int iReplyRet,
                         QString strText);
    void slInstallProgress(QString strPcName, QString strMemuIdx, int iProgress);

private:
    struct TargetRef
    {
        qint64 id;
        int pos;
    };
    static QString keyOf(const QString& pc, const QString& idx, int type);
    qint64 now() const;
    qint64 deadlineFor(const struLedgerEntry& e, int targetsOnPc) const;
    int rowOf(qint64 id) const; // top-level row, -1 unknown
    struLedgerEntry* find(qint64 id) const;
    // The oldest open target of that PC, emulator and type (still waiting for its delivery).
    struLedgerTarget* openTarget(const QString& pc, const QString& idx, int type, bool bWaitingOnly,
                                 qint64* pId = nullptr);
    void close(qint64 id, struLedgerTarget& t, eLedgerState s, int iCode, const QString& text);
    // Shown at the next batch; stored then too: the entry's own fields (pos -1) or one target.
    void touch(qint64 id);
    void unsaved(qint64 id, int pos);
    void sweep();
    void prune();
    void appendEntry(struLedgerEntry* p);

    Options m_options;
    std::unique_ptr<LedgerStore> m_pStore;
    QList<struLedgerEntry*> m_entries; // oldest first; rows are newest first
    QHash<qint64, struLedgerEntry*> m_byId;
    QHash<QString, QList<TargetRef>> m_open; // open targets by PC, emulator and type, oldest first
    int m_openCount = 0;
    qint64 m_nextId = 1;
    qint64 m_turnId = 0; // the operation sends of this turn join
    QSet<qint64> m_dirty;
    QHash<qint64, QSet<int>> m_unsaved; // targets to store by entry; -1 the entry itself
    QTimer* m_pFlush = nullptr;
    QTimer* m_pSweep = nullptr;
};
