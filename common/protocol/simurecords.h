#pragma once

#include <QString>

// At most this many emulator instances on one agent PC: the agent lists no more and creates none
// beyond them, and the console asks for no more.
constexpr int kMaxSimusPerPc = 50;

// Operation kinds carried in struSimuOper::iOperType.
enum eSimuOperType
{
    eOperStartup = 0,
    eOperClose = 1,
    eOperInstall = 2,
    eOperDelete = 3,
    eOperRename = 4,
    eOperCreate = 5,
    eOperRmtDesktopBegin = 6,
    eOperRmtDesktopEnd = 7,
    // Group control (groupcontrol.h): a live view of the lead instance (memuIdx) to the console's TCP
    // port iExtra for the run runId; the end of a run (runId; memuIdx may be empty); one input event
    // (inputEvent) replayed on each record's instance. Their connection carries one GroupReply back.
    eOperGroupViewBegin = 8,
    eOperGroupViewEnd = 9,
    eOperGroupInput = 10,
};

// Emulator instance states carried in iState.
enum eSimuState
{
    eStateNotStarted = -1,
    eStateRunning = 1,
    eStateStarting = 2,
    eStateClosing = 3,
    eStateTransferring = 4,
    eStateInstalling = 5,
    eStateDeleting = 6,
    eStateDeleted = 7,
};

// The agent's daemon mode ("common/daemonModel" and the discovery header): off, on, and the value of
// a setting never saved, which counts as on.
enum eDaemonModel
{
    eDaemonOff = 0,
    eDaemonOn = 2,
    eDaemonNeverSaved = 100,
};
inline bool daemonModeOn(int daemonModel)
{
    return daemonModel != eDaemonOff;
}

// The emulator product of an agent PC ("common/simuType" and the discovery header).
enum eSimuProduct
{
    eProductNone = 0,
    eProductMEmu = 1,
    eProductLdPlayer = 2,
};

// One emulator instance as the agent stores ("simu2/<memuIdx>") and reports it.
struct struSimuRecord
{
    QString memuIdx;
    QString simuName;
    int iPid = 0;
    int iState = eStateNotStarted;
    int iTime = 0;
    int iRestErrCnt = 0;
};

// One operation on one emulator instance: a command carries a list, a report carries one.
struct struSimuOper
{
    int iOperType = 0;
    int iExtra = 0;     // APK size for an install, video UDP port for a remote-desktop begin
    int iReplyRet = -1; // -1: no reply yet
    QString centerIP;   // console that sent the command; results go back to it
    QString memuIdx;
    QString rmtNickName;
    QString rmtPcName;
    QString replyRet;
    QString fileName;   // APK display name (install), new name (rename)
    int iTime = 0;      // console's operation time, seconds since the epoch
    QString runId;      // remote-desktop and group-control commands: the run they belong to (empty: any)
    QString inputEvent; // group input: the event as compact JSON (GroupInputEvent)
};

// A short state message of one instance, passed between the console's objects.
struct struSimuState
{
    QString pcName;
    QString memuIdx;
    int iState = 0;
    int iTime = 0;
    int iDaemonModel = 0;
};

// Body of the remote-desktop control messages.
struct struTypeIntMsg
{
    int type = 0;
    int int1 = 0;
    int int2 = 0;
};

// Body of the discovery messages.
struct struTypeStrMsg
{
    int type = 0;
    QString str1;
};

// The label the console shows for a state ("" for 0, 4 and unknown values).
QString simuStateLabel(int iState, bool daemonFlag = false);
