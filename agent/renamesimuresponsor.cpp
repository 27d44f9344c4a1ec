#include "renamesimuresponsor.h"

#include "simulatorabslauncher.h"

CCommResult RenameSimuResponsor::DoOperate()
{
    return SimuRename(m_oper.memuIdx, m_oper.fileName);
}
