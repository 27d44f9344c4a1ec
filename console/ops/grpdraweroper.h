#pragma once

#include "groupoperchecks.h"

#include <QObject>

#include <functional>

class OpsDialogs;

// Hands one PC's operation to that PC's command client (the argument first, then the operation).
using OpsSendFn = std::function<void(const OpsPcSend& send)>;
// The device list as it is now (taken again after a question, which may stay open for minutes).
using OpsSnapshotFn = std::function<OpsDeviceSnapshot()>;

// An operation of the device list over a snapshot of it.
class GrpDrawerAbsOper : public QObject
{
    Q_OBJECT
public:
    GrpDrawerAbsOper(const OpsDeviceSnapshot& snap, OpsDialogs& dialogs, OpsSendFn send);
    virtual CCommResult Run() = 0;

protected:
    OpsDeviceSnapshot m_snap;
    OpsDialogs& m_dialogs;
    OpsSendFn m_send;
};

class GrpDrawerComOper : public GrpDrawerAbsOper
{
    Q_OBJECT
public:
    using GrpDrawerAbsOper::GrpDrawerAbsOper;
};

// Rename of the one ticked emulator; each step ends the procedure on a non-zero code.
class GrpDrawerRenameOper : public GrpDrawerComOper
{
    Q_OBJECT
public:
    using GrpDrawerComOper::GrpDrawerComOper;
    CCommResult Run() override;

protected:
    virtual CCommResult Select();
    virtual CCommResult CheckOnline();
    virtual CCommResult CheckState();
    virtual CCommResult Dispatch();
    virtual CCommResult CheckProduct();
    virtual CCommResult AskName();

private:
    int m_pcPos = -1;
    int m_rowPos = -1;
    QString m_newName;
};

// The emulator context menu's entries, in order.
enum eDrawerCellMenu
{
    eMenuStart = 0,
    eMenuClose = 1,
    eMenuInstall = 2,
    eMenuDelete = 3,
    eMenuRename = 4,
    eMenuGroupControl = 5, // opens the group control window (not a command of its own)
};

namespace GroupOperDispatch {
// The texts of the context menu entries, by index.
QStringList menuTexts();
// One menu choice: refuses with 44 when nothing is ticked, runs the procedure of the entry, shows a
// refusal (never a cancelled rename) and sends what passed. Returns the refusal or success. The checks
// that follow a question (file, delete) look at the list as it is once the question is answered.
CCommResult run(int index, const OpsSnapshotFn& snapshot, OpsDialogs& dialogs, const OpsSendFn& send);
CCommResult run(int index, const OpsDeviceSnapshot& snap, OpsDialogs& dialogs, const OpsSendFn& send);
// "新建模拟器" of a PC's title menu, for the PC of that key: refuses an offline PC (61) and a full
// one (79), asks how many (1 up to the room the PC has left), checks again on the list as it is once
// answered, and sends one create record per emulator. A refusal is shown; returns it or success.
CCommResult create(const QString& pcKey, const OpsSnapshotFn& snapshot, OpsDialogs& dialogs,
                   const OpsSendFn& send);
} // namespace GroupOperDispatch
