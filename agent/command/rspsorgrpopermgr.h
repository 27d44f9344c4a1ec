#pragma once

#include "commresult.h"
#include "notifierrun.h"
#include "simuinfo.h"
#include "simurecords.h"
#include "simustatestore.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>

class CmdResponsor;

// Carries out one command: one responder per record, run one after another, each reporting its
// result to the console and keeping the instance's stored state up to date. Owns its responders,
// which report as `options` tell.
class RspsorGrpOperMgr : public QObject
{
    Q_OBJECT
public:
    explicit RspsorGrpOperMgr(const struNotifierOptions& options, QObject* parent = nullptr);
    ~RspsorGrpOperMgr() override;

    void SetOpers(const QList<struSimuOper>& opers);
    const QList<struSimuOper>& Opers() const { return m_opers; }
    // The group runs nothing and reports `why` to the console for its records instead (a command
    // dropped before it could run).
    void Refuse(const CCommResult& why);

    // At most this many records per command: one per instance a PC can have.
    static constexpr int kMaxRecords = kMaxSimuCount;

    // Runs the whole group; one result per responder run, in record order.
    virtual QList<CCommResult> RunGroup() = 0;
    // Begins an operation on every target instance, marking it busy in the stored state. A record
    // whose instance another operation holds is dropped: it runs nothing and its console is told
    // (kInstanceBusy).
    virtual void BeforeRun();
    // How the record's instance is stored as its operation begins: the command's time, and the
    // state it shows while the record runs (a start starting, a close closing, a delete deleting).
    virtual SimuStateStore::Change BusyChange(const struSimuOper& oper) const;
    // Per-manager hook that receives the group's results.
    virtual void AfterRun(const QList<CCommResult>& results);

signals:
    void sigMgrFinished();
    // One record has been carried out (emitted on the manager's thread).
    void sigOperDone(struSimuOper oper, CCommResult cRet);

public slots:
    void slRunRspsMgr();

protected:
    // Drops the records that name no instance of this PC: a member the document announced but did
    // not hold, an empty index, an index the inventory does not know (when a product is
    // configured; without one the launcher's refusal is what the console hears). A create names no
    // instance and is kept. Each dropped record gets a log line and runs nothing. Returns how many
    // instances the inventory lists.
    int DropUnknownRecords();
    // Refuses a command beyond what a PC can serve: more than kMaxRecords records, or more creates
    // than the inventory has room for (kTooManyRecords). Code 0 when it may run.
    CCommResult CheckRecordLimits(int iInstances) const;
    // Reports a refusal without running anything or touching the stored states: once per record
    // that names an instance (only the first one when there are more than kMaxRecords), and once
    // for all creates. Returns the reported results.
    QList<CCommResult> ReportRefusal(const CCommResult& why);

    // Runs one responder for one record and keeps it; returns its result. The record's operation on
    // its instance ends with it.
    CCommResult RunResponsor(CmdResponsor* pResponsor, const struSimuOper& oper);
    // The two halves of RunResponsor: taking the responder and its record (on the manager's thread),
    // and running it (on any thread).
    void AdoptResponsor(CmdResponsor* pResponsor, const struSimuOper& oper);
    CCommResult RunAdopted(CmdResponsor* pResponsor);
    // Ends the operation this manager began on the instance (a no-op when it began none).
    void FinishOperation(const QString& memuIdx, const SimuStateStore::Change& outcome = {});
    // One record of the instance has run; the operation ends with its last record.
    void RecordDone(const QString& memuIdx);
    void RefuseBusy(const struSimuOper& oper);

    const struNotifierOptions m_notifierOptions;
    QList<struSimuOper> m_opers;
    QList<CmdResponsor*> m_responsors;
    QHash<QString, int> m_begun; // instances whose operation this manager began: records still to run
    QMutex m_mutex;              // m_responsors and m_begun, when responders run side by side
    bool m_bRefused = false;
    CCommResult m_refusal;
};

Q_DECLARE_METATYPE(struSimuOper)
Q_DECLARE_METATYPE(CCommResult)
