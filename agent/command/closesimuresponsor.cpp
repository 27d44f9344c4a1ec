#include "closesimuresponsor.h"

#include "launcherfactory.h"
#include "operloggerobj.h"

CCommResult CloseSimuResponsor::DoOperate()
{
    operLog(QStringLiteral("收到操作指令，关闭\"%1\"").arg(m_strSimuName));
    operLog(QStringLiteral("\"%1\"关闭中,请耐心等待").arg(m_strSimuName));
    CCommResult cRet = SimuClose(m_oper.memuIdx, 0);
    if (cRet.iRet != 0) {
        operLog(QStringLiteral("\"%1\"关闭失败").arg(m_strSimuName));
        return cRet;
    }
    cRet.str = QStringLiteral("%1的模拟器\"%2\"关闭成功\r\n").arg(m_strNickName, m_strSimuName);
    cRet.log = m_oper.memuIdx;
    operLog(QStringLiteral("\"%1\"关闭成功").arg(m_strSimuName));
    return cRet;
}

void CloseSimuResponsor::AfterState(const CCommResult& cRet)
{
    UpdateStoredState(2, cRet.iRet == 0 ? eStateNotStarted : eStateRunning);
}
