#pragma once

#include "cmdresponsor.h"

// Deletes an instance; its stored record stays, marked not started.
class DeleteSimuRspsor : public CmdResponsor
{
    Q_OBJECT
public:
    using CmdResponsor::CmdResponsor;

protected:
    CCommResult DoOperate() override;
    void AfterState(const CCommResult& cRet) override;
};
