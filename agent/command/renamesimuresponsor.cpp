#include "renamesimuresponsor.h"

#include "launcherfactory.h"

CCommResult RenameSimuResponsor::DoOperate()
{
    return SimuRename(m_oper.memuIdx, m_oper.fileName);
}
