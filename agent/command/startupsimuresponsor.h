#pragma once

#include "cmdresponsor.h"

// Starts an instance; in daemon mode it is put under the watchdog.
class StartupSimuResponsor : public CmdResponsor
{
    Q_OBJECT
public:
    using CmdResponsor::CmdResponsor;

protected:
    CCommResult DoOperate() override;
    void AfterState(const CCommResult& cRet) override;
};
