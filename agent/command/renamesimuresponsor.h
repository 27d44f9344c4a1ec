#pragma once

#include "cmdresponsor.h"

// Renames an instance to the record's fileName; the launcher's result is the result.
class RenameSimuResponsor : public CmdResponsor
{
    Q_OBJECT
public:
    using CmdResponsor::CmdResponsor;

protected:
    CCommResult DoOperate() override;
};
