#pragma once

#include "commresult.h"
#include "notifierrun.h"
#include "simurecords.h"

#include <QObject>
#include <QString>

// Carries out one record of a command on one instance. The template run is common to all
// responders: run the operation, log it, report it to the console, then correct the stored state.
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
