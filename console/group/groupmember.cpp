#include "groupmember.h"

#include "simurecords.h"

QString groupFollowText(const GroupMemberStatus& status)
{
    QString text;
    switch (status.follow) {
    case GroupFollow::Waiting:
        text = QStringLiteral("等待中");
        break;
    case GroupFollow::Following:
        text = QStringLiteral("跟随中");
        break;
    case GroupFollow::NotRunning:
        text = QStringLiteral("未启动");
        break;
    case GroupFollow::Offline:
        text = QStringLiteral("离线");
        break;
    case GroupFollow::Refused:
        text = status.text;
        break;
    case GroupFollow::NoReply:
        text = QStringLiteral("无应答");
        break;
    }
    if (status.dropped > 0 && status.follow != GroupFollow::Refused)
        text += QStringLiteral("（已丢弃%1个事件）").arg(status.dropped);
    return text;
}

bool groupTakesInput(int iState)
{
    return iState == eStateRunning || iState == eStateTransferring || iState == eStateInstalling;
}
