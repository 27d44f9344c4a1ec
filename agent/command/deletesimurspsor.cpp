#include "deletesimurspsor.h"

#include "launcherfactory.h"
#include "operloggerobj.h"
#include "simuinfo.h"

CCommResult DeleteSimuRspsor::DoOperate()
{
    operLog(QStringLiteral("收到操作指令，删除\"%1\"").arg(m_strSimuName));
    operLog(QStringLiteral("\"%1\"删除中，请耐心等待").arg(m_strSimuName));
    SimuInfo info;
    info.setIdx(m_oper.memuIdx);
    info.setName(m_strSimuName);
    CCommResult cRet = SimuDelete(info);
    if (cRet.iRet != 0) {
        operLog(QStringLiteral("\"%1\"删除失败").arg(m_strSimuName));
        cRet.str = QStringLiteral("%1删除模拟器\"%2\"失败\r\n").arg(m_strNickName, m_strSimuName);
        return cRet;
    }
    operLog(QStringLiteral("\"%1\"删除成功").arg(m_strSimuName));
    cRet.str = QStringLiteral("%1删除模拟器\"%2\"成功\r\n").arg(m_strNickName, m_strSimuName);
    return cRet;
}

void DeleteSimuRspsor::AfterState(const CCommResult& cRet)
{
    Q_UNUSED(cRet);
    UpdateStoredState(2, eStateNotStarted);
}
