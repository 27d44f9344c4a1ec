#include "grpdraweroper.h"

#include "opercodes.h"
#include "opsdialogs.h"
#include "simurecords.h"

GrpDrawerAbsOper::GrpDrawerAbsOper(const OpsDeviceSnapshot& snap, OpsDialogs& dialogs, OpsSendFn send)
    : m_snap(snap), m_dialogs(dialogs), m_send(std::move(send))
{
}

CCommResult GrpDrawerRenameOper::Run()
{
    using Step = CCommResult (GrpDrawerRenameOper::*)();
    for (Step step : {&GrpDrawerRenameOper::Select, &GrpDrawerRenameOper::CheckOnline,
                      &GrpDrawerRenameOper::CheckState, &GrpDrawerRenameOper::CheckProduct,
                      &GrpDrawerRenameOper::AskName, &GrpDrawerRenameOper::Dispatch}) {
        const CCommResult r = (this->*step)();
        if (!r.ok())
            return r;
    }
    return CCommResult();
}

CCommResult GrpDrawerRenameOper::Select()
{
    return GroupOperChecks::selectRenameTarget(m_snap, m_pcPos, m_rowPos);
}

CCommResult GrpDrawerRenameOper::CheckOnline()
{
    return GroupOperChecks::checkRenameOnline(m_snap.at(m_pcPos));
}

CCommResult GrpDrawerRenameOper::CheckState()
{
    return GroupOperChecks::checkRenameState(m_snap.at(m_pcPos), m_snap.at(m_pcPos).rows.at(m_rowPos));
}

CCommResult GrpDrawerRenameOper::CheckProduct()
{
    return GroupOperChecks::checkRenameProduct(m_snap.at(m_pcPos));
}

CCommResult GrpDrawerRenameOper::AskName()
{
    // The input names the emulator it renames, as the list shows it, and starts with its current name.
    const OpsPcEntry& pc = m_snap.at(m_pcPos);
    m_newName = pc.rows.at(m_rowPos).simuName;
    const QString label = QStringLiteral("请输入模拟器名字（\"%1\"的%2）")
                              .arg(pc.nickName.isEmpty() ? pc.pcName : pc.nickName, m_newName);
    if (!m_dialogs.askText(QStringLiteral("请输入"), label, m_newName))
        return CCommResult::failure(OpsCode::RenameCancelled, QStringLiteral("重命名被取消"));
    return GroupOperChecks::checkRenameName(m_newName);
}

CCommResult GrpDrawerRenameOper::Dispatch()
{
    const OpsPcEntry& pc = m_snap.at(m_pcPos);
    m_send({pc.pcKey, eOperRename, {pc.rows.at(m_rowPos).memuIdx}, m_newName});
    return CCommResult();
}

namespace GroupOperDispatch {

QStringList menuTexts()
{
    return OpsMenu::entryTexts();
}

namespace {

CCommResult checkAndSend(const OpsDeviceSnapshot& snap, int iOperType, const QString& strArg,
                         const OpsSendFn& send)
{
    const OpsPlan plan = GroupOperChecks::planCheckAndSend(snap, iOperType, strArg);
    for (const OpsPcSend& s : plan.sends)
        send(s);
    return plan.refusal;
}

CCommResult install(const OpsDeviceSnapshot& snap, const OpsSnapshotFn& snapshot, OpsDialogs& dialogs,
                    const OpsSendFn& send)
{
    CCommResult r = GroupOperChecks::checkInstallTargetsStarted(snap);
    if (!r.ok())
        return r;
    const QString path = dialogs.chooseFile(QStringLiteral("选择文件"));
    if (path.isEmpty())
        return CCommResult();
    r = GroupOperChecks::checkApkSize(path);
    return r.ok() ? checkAndSend(snapshot(), eOperInstall, path, send) : r;
}

CCommResult remove(const OpsSnapshotFn& snapshot, OpsDialogs& dialogs, const OpsSendFn& send)
{
    if (!dialogs.confirm(QStringLiteral("警告"), QStringLiteral("是否删除模拟器？")))
        return CCommResult();
    return checkAndSend(snapshot(), eOperDelete, QString(), send);
}

CCommResult choose(int index, const OpsDeviceSnapshot& snap, const OpsSnapshotFn& snapshot,
                   OpsDialogs& dialogs, const OpsSendFn& send)
{
    switch (index) {
    case eMenuStart:
    case eMenuClose:
        return checkAndSend(snap, index, QString(), send);
    case eMenuInstall:
        return install(snap, snapshot, dialogs, send);
    case eMenuDelete:
        return remove(snapshot, dialogs, send);
    case eMenuRename:
        return GrpDrawerRenameOper(snap, dialogs, send).Run();
    default:
        return CCommResult();
    }
}

} // namespace

namespace {

const OpsPcEntry* findPc(const OpsDeviceSnapshot& snap, const QString& pcKey)
{
    for (const OpsPcEntry& pc : snap) {
        if (pc.pcKey == pcKey)
            return &pc;
    }
    return nullptr;
}

// The PC as it is listed now may take this many creates.
CCommResult checkCreate(const OpsPcEntry* pc, int wanted)
{
    if (!pc)
        return CCommResult::failure(OpsCode::PcOffline, QStringLiteral("远程客户端处于离线状态，不能操作"));
    const CCommResult online = GroupOperChecks::checkOnline(*pc);
    return online.ok() ? GroupOperChecks::checkCreateRoom(*pc, wanted) : online;
}

CCommResult askAndCreate(const QString& pcKey, const OpsSnapshotFn& snapshot, OpsDialogs& dialogs,
                         const OpsSendFn& send)
{
    const OpsDeviceSnapshot before = snapshot();
    const OpsPcEntry* pc = findPc(before, pcKey);
    CCommResult r = checkCreate(pc, 0);
    if (!r.ok())
        return r;
    const int room = GroupOperChecks::createRoom(*pc);
    int count = 1;
    const QString label = QStringLiteral("在\"%1\"上新建几个模拟器？（1-%2个）")
                              .arg(pc->nickName.isEmpty() ? pc->pcName : pc->nickName)
                              .arg(room);
    if (!dialogs.askNumber(OpsMenu::createText(), label, count, 1, room))
        return CCommResult();
    const OpsDeviceSnapshot now = snapshot();
    pc = findPc(now, pcKey);
    r = checkCreate(pc, count);
    if (!r.ok() || count < 1)
        return r;
    QStringList targets; // a create names no emulator
    for (int i = 0; i < count; ++i)
        targets.append(QString());
    send({pc->pcKey, eOperCreate, targets, QString()});
    return CCommResult();
}

} // namespace

CCommResult create(const QString& pcKey, const OpsSnapshotFn& snapshot, OpsDialogs& dialogs,
                   const OpsSendFn& send)
{
    const CCommResult r = askAndCreate(pcKey, snapshot, dialogs, send);
    if (!r.ok())
        dialogs.showResult(r);
    return r;
}

CCommResult run(int index, const OpsDeviceSnapshot& snap, OpsDialogs& dialogs, const OpsSendFn& send)
{
    return run(
        index, [&snap] { return snap; }, dialogs, send);
}

CCommResult run(int index, const OpsSnapshotFn& snapshot, OpsDialogs& dialogs, const OpsSendFn& send)
{
    const OpsDeviceSnapshot snap = snapshot();
    CCommResult r = GroupOperChecks::anyTicked(snap) ? choose(index, snap, snapshot, dialogs, send)
                                                     : OpsCode::nothingTicked();
    if (r.iRet == OpsCode::RenameCancelled)
        return CCommResult();
    if (!r.ok())
        dialogs.showResult(r);
    return r;
}

} // namespace GroupOperDispatch
