#pragma once

#include "cmdresponsor.h"

// Creates a new instance.
class CreateSimuResponsor : public CmdResponsor
{
    Q_OBJECT
public:
    using CmdResponsor::CmdResponsor;

protected:
    CCommResult DoOperate() override;
};
