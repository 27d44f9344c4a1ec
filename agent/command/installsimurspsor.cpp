#include "installsimurspsor.h"

#include "installrspsormgr.h"
#include "operloggerobj.h"
#include "simuinfo.h"
#include "simuinfoxmlgainer.h"
#include "launcherfactory.h"

CCommResult InstallSimuRspsor::DoOperate()
{
    const QString& apk = m_oper.fileName;
    operLog(QStringLiteral("收到操作指令，\"%1\"安装%2").arg(m_strSimuName, apk));
    operLog(QStringLiteral("\"%1\"安装%2中，请耐心等待").arg(m_strSimuName, apk));
    SimuInfo info;
    SimuInfoXmlGainer().GetSimuInfo(m_oper.memuIdx, info);
    CCommResult cRet = SimuInstallApk(m_oper.memuIdx, info.adbPort(), InstallRspsorMgr::ReceivedApkPath());
    if (cRet.iRet != 0) {
        operLog(QStringLiteral("\"%1\"安装%2失败").arg(m_strSimuName, apk));
        cRet.str = QStringLiteral("%1的\"%2\"安装失败").arg(m_strNickName, m_strSimuName);
        return cRet;
    }
    operLog(QStringLiteral("\"%1\"安装%2成功").arg(m_strSimuName, apk));
    cRet.str = QStringLiteral("%1的\"%2\"安装成功").arg(m_strNickName, m_strSimuName);
    return cRet;
}

void InstallSimuRspsor::AfterState(const CCommResult& cRet)
{
    Q_UNUSED(cRet);
    // Whatever the install's outcome, the instance runs exactly when its product says so: a failed
    // install into a stopped instance leaves it stopped.
    UpdateStoredState(2, InstallRspsorMgr::RunStateAfterInstall(m_oper.memuIdx));
}
