#include "createsimuresponsor.h"

#include "agentsettings.h"
#include "launcherfactory.h"
#include "operloggerobj.h"
#include "simuinfo.h"

CCommResult CreateSimuResponsor::DoOperate()
{
    operLog(QStringLiteral("收到操作指令，新建模拟器"));
    operLog(QStringLiteral("模拟器新建中，请耐心等待…"));
    CCommResult cRet = SimuCreate(SimuInfo());
    if (cRet.iRet != 0) {
        operLog(QStringLiteral("新建模拟器失败"));
        return cRet;
    }
    // The nickname may have been changed while the instance was being created.
    m_strNickName = AgentSettings::pcNickName.value();
    cRet.str = QStringLiteral("%1创建模拟器成功\r\n").arg(m_strNickName);
    operLog(QStringLiteral("新建模拟器成功"));
    return cRet;
}
