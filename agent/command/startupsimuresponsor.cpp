#include "startupsimuresponsor.h"

#include "agentsettings.h"
#include "launcherfactory.h"
#include "operloggerobj.h"
#include "simustatestore.h"

#include <QProcess>

CCommResult StartupSimuResponsor::DoOperate()
{
    operLog(QStringLiteral("收到操作指令，启动\"%1\"").arg(m_strSimuName));
    operLog(QStringLiteral("\"%1\"启动中,请耐心等待…").arg(m_strSimuName));
    const int daemonModel = AgentSettings::daemonModel.value();

    QProcess process;
    const CCommResult cLaunch = SimuStartup(m_oper.memuIdx, &process);
    CCommResult cRet;
    if (cLaunch.iRet != 0) {
        operLog(QStringLiteral("\"%1\"启动失败").arg(m_strSimuName));
        cRet = cLaunch;
        cRet.iExtraRet = 0;
        cRet.str = QStringLiteral("%1打开模拟器\"%2\"失败。\r\n").arg(m_strNickName, m_strSimuName);
        cRet.log = QStringLiteral("%1打开模拟器\"%2\"失败,因为%3\r\n")
                       .arg(m_strNickName, m_strSimuName, cLaunch.str);
        return cRet;
    }
    if (daemonModeOn(daemonModel)) {
        operLog(QStringLiteral("\"%1\"启动成功，已纳入监控并进入守护模式").arg(m_strSimuName));
        SimuStateStore::instance().addWatched(m_oper.memuIdx);
    } else {
        operLog(QStringLiteral("\"%1\"启动成功，已纳入监控").arg(m_strSimuName));
    }
    cRet.iExtraRet = cLaunch.iExtraRet;
    cRet.str = QStringLiteral("%1打开模拟器\"%2\"成功\r\n").arg(m_strNickName, m_strSimuName);
    return cRet;
}

void StartupSimuResponsor::AfterState(const CCommResult& cRet)
{
    UpdateStoredState(2, cRet.iRet == 0 ? eStateRunning : eStateNotStarted);
}
