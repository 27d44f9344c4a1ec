#include "simurecords.h"

QString simuStateLabel(int iState, bool daemonFlag)
{
    switch (iState) {
    case eStateNotStarted:
        return QStringLiteral("未启动");
    case eStateRunning:
        return daemonFlag ? QStringLiteral("守护中") : QStringLiteral("运行中");
    case eStateStarting:
        return QStringLiteral("启动中");
    case eStateClosing:
        return QStringLiteral("关闭中");
    case eStateInstalling:
        return QStringLiteral("安装中");
    case eStateDeleting:
        return QStringLiteral("删除中");
    case eStateDeleted:
        return QStringLiteral("已删除");
    default: // 0, transferring and unknown values have no label
        return QString();
    }
}
