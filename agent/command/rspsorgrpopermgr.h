#pragma once

#include "commresult.h"
#include "notifierrun.h"
#include "simuinfo.h"
#include "simurecords.h"

#include <QList>
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
    // Marks every target instance busy in the stored state.
    virtual void BeforeRun();
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

    // Runs one responder for one record and keeps it; returns its result.
    CCommResult RunResponsor(CmdResponsor* pResponsor, const struSimuOper& oper);

    const struNotifierOptions m_notifierOptions;
    QList<struSimuOper> m_opers;
    QList<CmdResponsor*> m_responsors;
    bool m_bRefused = false;
    CCommResult m_refusal;
};

Q_DECLARE_METATYPE(struSimuOper)
Q_DECLARE_METATYPE(CCommResult)
