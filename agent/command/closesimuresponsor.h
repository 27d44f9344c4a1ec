#pragma once

#include "cmdresponsor.h"

// Closes an instance.
class CloseSimuResponsor : public CmdResponsor
{
    Q_OBJECT
public:
    using CmdResponsor::CmdResponsor;

protected:
    CCommResult DoOperate() override;
    void AfterState(const CCommResult& cRet) override;
};
