#pragma once

#include "rspsorgrpopermgr.h"

#include <QString>

// Serves start, close, delete, rename and create: one responder per record, one after another on
// the manager's thread. Only the starts of a command of starts may boot side by side, as many at a
// time as common/parallelStarts allows (1, the default, keeps them one after another).
class ComGrpOperMgr : public RspsorGrpOperMgr
{
    Q_OBJECT
public:
    explicit ComGrpOperMgr(const struNotifierOptions& options, QObject* parent = nullptr);
    ~ComGrpOperMgr() override;

    QList<CCommResult> RunGroup() override;

    // The responder that serves an operation type, or null for a type this manager does not serve.
    virtual CmdResponsor* CreateResponsor(int iOperType);

    // Managers alive in the process (command groups still running or not yet deleted).
    static int LiveCount();

signals:
    // A start succeeded in daemon mode / a close succeeded (the watchdog follows its list).
    void sigNewSimuStarted(QString strSimuName, QString strMemuIndex);
    void sigSimuClosed(QString strSimuName, QString strMemuIndex);

private:
    // How many records boot at the same time: common/parallelStarts (within the run limit) for a
    // command of starts only, 1 otherwise.
    int StartsAtOnce() const;
    QList<CCommResult> RunOneAfterAnother();
    QList<CCommResult> RunStartsSideBySide(int parallel);
    void EmitWatchChange(const CmdResponsor* pResponsor, const CCommResult& cRet);
};
