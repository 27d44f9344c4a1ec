#pragma once

#include "commresult.h"
#include "notifierrun.h"
#include "simurecords.h"

#include <QObject>
#include <QString>

// Carries out one record of a command on one instance. The template run is common to all
// responders: run the operation, log it, store the instance's new state, then report it to the
// console. The state is stored before the report leaves, so that a console which sends its next
// command the moment it hears the outcome finds the instance settled.
class CmdResponsor : public QObject
{
    Q_OBJECT
public:
    // options: how the outcome reaches the console.
    explicit CmdResponsor(const struNotifierOptions& options, QObject* parent = nullptr);
    ~CmdResponsor() override;

    // Takes the record and fetches the agent's nickname and the instance's display name.
    void SetOper(const struSimuOper& oper);
    const struSimuOper& Oper() const { return m_oper; }
    QString NickName() const { return m_strNickName; }
    QString SimuName() const { return m_strSimuName; }

    virtual CCommResult TemplateRun();
    // The two halves of the template run, for a caller that frees the instance between them.
    CCommResult OperateAndStore();
    void Report(const CCommResult& cRet);

protected:
    virtual CCommResult DoOperate() = 0;
    virtual void AfterState(const CCommResult& cRet);

    // Load, change and store the instance's record in one step.
    void UpdateStoredState(int iTimeStep, int iState);

    const struNotifierOptions m_notifierOptions;
    QString m_strNickName;
    QString m_strSimuName;
    struSimuOper m_oper;
};
