#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

// One emulator of a group run: where it is and what the user calls it.
struct GroupMember
{
    QString pcKey;    // the registry's key of its PC
    QString nickName; // the PC as the list shows it
    QString memuIdx;
    QString simuName;
};

// How a member follows the run, as far as the console knows.
enum class GroupFollow
{
    Waiting,    // nothing sent to it yet
    Following,  // its agent took the latest event
    NotRunning, // "未启动": not running (by the list, or by its agent)
    Offline,    // "离线": its PC is offline or could not be reached
    Refused,    // its agent answered with a failure (the reply's text)
    NoReply,    // its agent did not answer in time, or does not know group control
};

struct GroupMemberStatus
{
    QString pcKey;
    QString memuIdx;
    GroupFollow follow = GroupFollow::Waiting;
    QString text;    // the reply's text for Refused
    int dropped = 0; // events of the member dropped in this run (by its agent and by the console)

    bool operator==(const GroupMemberStatus& o) const
    {
        return pcKey == o.pcKey && memuIdx == o.memuIdx && follow == o.follow && text == o.text &&
               dropped == o.dropped;
    }
    bool operator!=(const GroupMemberStatus& o) const { return !(*this == o); }
};
using GroupStatusList = QList<GroupMemberStatus>;

// The text the member list shows for a status.
QString groupFollowText(const GroupMemberStatus& status);
// States in which an emulator takes input (running, also while an APK is sent to it or installed).
bool groupTakesInput(int iState);

Q_DECLARE_METATYPE(GroupMemberStatus)
Q_DECLARE_METATYPE(GroupStatusList)
