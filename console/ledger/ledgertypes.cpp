#include "ledgertypes.h"

#include "simurecords.h"

#include <algorithm>

int struLedgerEntry::count(eLedgerState s) const
{
    return int(std::count_if(targets.begin(), targets.end(),
                             [s](const struLedgerTarget& t) { return t.state == s; }));
}

int struLedgerEntry::openCount() const
{
    return int(
        std::count_if(targets.begin(), targets.end(), [](const struLedgerTarget& t) { return t.isOpen(); }));
}

int struLedgerEntry::failureCount() const
{
    return int(std::count_if(targets.begin(), targets.end(),
                             [](const struLedgerTarget& t) { return t.isFailure(); }));
}

QString LedgerText::stateText(eLedgerState s)
{
    switch (s) {
    case eLedgerState::Waiting:
        return QStringLiteral("等待");
    case eLedgerState::Sent:
        return QStringLiteral("已发送");
    case eLedgerState::Succeeded:
        return QStringLiteral("成功");
    case eLedgerState::Failed:
        return QStringLiteral("失败");
    case eLedgerState::NoAnswer:
        return QStringLiteral("无应答");
    case eLedgerState::Refused:
        return QStringLiteral("被拒绝");
    }
    return QString();
}

QString LedgerText::operText(int iOperType)
{
    switch (iOperType) {
    case eOperStartup:
        return QStringLiteral("启动");
    case eOperClose:
        return QStringLiteral("关闭");
    case eOperInstall:
        return QStringLiteral("安装apk");
    case eOperDelete:
        return QStringLiteral("删除");
    case eOperRename:
        return QStringLiteral("重命名");
    case eOperCreate:
        return QStringLiteral("新建");
    default:
        return QStringLiteral("操作%1").arg(iOperType);
    }
}
