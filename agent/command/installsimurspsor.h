#pragma once

#include "cmdresponsor.h"

// Installs the received APK into one instance.
class InstallSimuRspsor : public CmdResponsor
{
    Q_OBJECT
public:
    using CmdResponsor::CmdResponsor;

protected:
    CCommResult DoOperate() override;
    void AfterState(const CCommResult& cRet) override;
};
