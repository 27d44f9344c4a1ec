#pragma once

#include "commresult.h"

#include <QList>
#include <QStringList>

// What the group operations need to know of the device list, taken at the moment the user picks an
// operation: every agent PC in list order with its emulator rows.
struct OpsSimuRow
{
    QString memuIdx;
    QString simuName; // display name
    int iState = -1;
    bool bChecked = false;
};

struct OpsPcEntry
{
    QString pcKey;    // the registry's key of the PC (the agent's computer name)
    QString pcName;   // the PC as the texts name it
    QString nickName; // the PC as its list row shows it (its nick name, or its computer name)
    bool bOnline = true;
    int iRunLimit = 0;
    int iSimuType = 0; // 1 MEmu, 2 LDPlayer
    QList<OpsSimuRow> rows;

    int countInState(int iState) const;
    QStringList checkedIdxs() const;
};

using OpsDeviceSnapshot = QList<OpsPcEntry>;

// One checked operation for one PC, as the menu's checks hand it to ConsoleOpsService::submit.
struct OpsPcSend
{
    OpsPcSend() = default;
    OpsPcSend(const QString& pc, int type, const QStringList& targets, const QString& arg = QString(),
              int videoPort = 0, const QString& run = QString())
        : pcKey(pc), iOperType(type), memuIdxs(targets), strArg(arg), iVideoPort(videoPort), runId(run)
    {
    }

    QString pcKey; // the registry's key of the PC
    int iOperType = 0;
    QStringList memuIdxs;
    QString strArg; // APK path (install) or new name (rename); empty otherwise
    // Remote desktop (begin, end): the console's video port and the run the command belongs to.
    int iVideoPort = 0;
    QString runId;
};

// The outcome of checking an operation: the PCs to send to, in list order, and the refusal that ended
// the walk (iRet 0 when there was none). PCs before a refusing PC still get theirs.
struct OpsPlan
{
    QList<OpsPcSend> sends;
    CCommResult refusal;
};

// The checks of the group operations, as plain functions over a snapshot.
namespace GroupOperChecks {

bool anyTicked(const OpsDeviceSnapshot& snap);

// State table of start (0), close (1), install (2), delete (3); 53 with the row's text.
CCommResult checkRowState(int iOperType, const QString& pcName, const OpsSimuRow& row);
// Start: running + starting + ticked rows of the PC above its run limit: 47.
CCommResult checkRunLimit(const OpsPcEntry& pc);
CCommResult checkOnline(const OpsPcEntry& pc); // 61
// Install: a ticked row that is not started: 46.
CCommResult checkInstallTargetsStarted(const OpsDeviceSnapshot& snap);
// Check and send of operations 0-3, PC by PC.
OpsPlan planCheckAndSend(const OpsDeviceSnapshot& snap, int iOperType, const QString& strArg = QString());

// Install: the command record announces the file's size in 32 bits, so a file of 2 GiB or more
// cannot be sent: 77.
CCommResult checkApkSize(const QString& path);

// Rename steps.
CCommResult selectRenameTarget(const OpsDeviceSnapshot& snap, int& pcPos, int& rowPos); // 67
CCommResult checkRenameOnline(const OpsPcEntry& pc);                                    // 61
CCommResult checkRenameState(const OpsPcEntry& pc, const OpsSimuRow& row);              // 53
CCommResult checkRenameProduct(const OpsPcEntry& pc);                                   // 71
CCommResult checkRenameName(const QString& name);                                       // 78

// Create: how many emulators the PC has room for (kMaxSimusPerPc, the agent's bound, less those it
// lists); 79 when `wanted` is more than that (or there is no room at all for wanted 0).
int createRoom(const OpsPcEntry& pc);
CCommResult checkCreateRoom(const OpsPcEntry& pc, int wanted);

} // namespace GroupOperChecks
