#include "groupoperchecks.h"

#include "opercodes.h"
#include "simurecords.h"

#include <QFileInfo>
#include <climits>

int OpsPcEntry::countInState(int iState) const
{
    int n = 0;
    for (const OpsSimuRow& r : rows)
        n += r.iState == iState ? 1 : 0;
    return n;
}

QStringList OpsPcEntry::checkedIdxs() const
{
    QStringList idxs;
    for (const OpsSimuRow& r : rows) {
        if (r.bChecked)
            idxs.append(r.memuIdx);
    }
    return idxs;
}

namespace GroupOperChecks {

namespace {

CCommResult refuse(int code, const QString& text)
{
    return CCommResult::failure(code, text);
}

// The busy and gone states refuse every operation alike.
QString busyText(int iState)
{
    switch (iState) {
    case eStateClosing:
        return QStringLiteral("\"%1\"的%2正在关闭，不能操作");
    case eStateTransferring:
        return QStringLiteral("\"%1\"的%2正在传输文件，不能操作");
    case eStateInstalling:
        return QStringLiteral("\"%1\"的%2正在安装文件，不能操作");
    case eStateDeleting:
        return QStringLiteral("\"%1\"的%2正在删除，不能操作");
    case eStateDeleted:
        return QStringLiteral("\"%1\"的%2不存在，不能操作");
    default:
        return QString();
    }
}

QString stateText(int iOperType, int iState)
{
    if (iState == eStateNotStarted && iOperType == eOperClose)
        return QStringLiteral("\"%1\"的%2未打开，不能关闭");
    if (iState == eStateNotStarted && iOperType == eOperInstall)
        return QStringLiteral("\"%1\"的%2未打开，不能安装");
    if (iState == eStateRunning && iOperType == eOperStartup)
        return QStringLiteral("\"%1\"的%2已经打开了");
    return busyText(iState);
}

} // namespace

bool anyTicked(const OpsDeviceSnapshot& snap)
{
    for (const OpsPcEntry& pc : snap) {
        if (!pc.checkedIdxs().isEmpty())
            return true;
    }
    return false;
}

CCommResult checkRowState(int iOperType, const QString& pcName, const OpsSimuRow& row)
{
    const QString text = stateText(iOperType, row.iState);
    if (text.isEmpty())
        return CCommResult();
    return refuse(OpsCode::StateForbids, text.arg(pcName, row.simuName));
}

CCommResult checkRunLimit(const OpsPcEntry& pc)
{
    const int wanted =
        pc.countInState(eStateRunning) + pc.countInState(eStateStarting) + pc.checkedIdxs().size();
    if (wanted <= pc.iRunLimit)
        return CCommResult();
    return refuse(
        OpsCode::RunLimit,
        QStringLiteral("\"%1\"最多只能同时运行%2个模拟器").arg(pc.pcName, QString::number(pc.iRunLimit)));
}

CCommResult checkOnline(const OpsPcEntry& pc)
{
    if (pc.bOnline)
        return CCommResult();
    return refuse(OpsCode::PcOffline, QStringLiteral("远程客户端处于离线状态，不能操作"));
}

CCommResult checkInstallTargetsStarted(const OpsDeviceSnapshot& snap)
{
    for (const OpsPcEntry& pc : snap) {
        for (const OpsSimuRow& row : pc.rows) {
            if (row.bChecked && row.iState == eStateNotStarted)
                return refuse(
                    OpsCode::NotStarted,
                    QStringLiteral("\"%1\"的模拟器%2未启动，请先打开该模拟器").arg(pc.pcName, row.simuName));
        }
    }
    return CCommResult();
}

namespace {

CCommResult checkAllRows(const OpsDeviceSnapshot& snap, int iOperType)
{
    for (const OpsPcEntry& pc : snap) {
        for (const OpsSimuRow& row : pc.rows) {
            if (!row.bChecked)
                continue;
            const CCommResult r = checkRowState(iOperType, pc.pcName, row);
            if (!r.ok())
                return r;
        }
    }
    return CCommResult();
}

// rowsCheck: the state check of every ticked row of the whole list, the same for every PC.
CCommResult checkPc(const OpsPcEntry& pc, int iOperType, const CCommResult& rowsCheck)
{
    if (iOperType == eOperStartup) {
        const CCommResult r = checkRunLimit(pc);
        if (!r.ok())
            return r;
    }
    return rowsCheck.ok() ? checkOnline(pc) : rowsCheck;
}

} // namespace

OpsPlan planCheckAndSend(const OpsDeviceSnapshot& snap, int iOperType, const QString& strArg)
{
    OpsPlan plan;
    const CCommResult rowsCheck = checkAllRows(snap, iOperType);
    for (const OpsPcEntry& pc : snap) {
        const QStringList idxs = pc.checkedIdxs();
        if (idxs.isEmpty())
            continue;
        plan.refusal = checkPc(pc, iOperType, rowsCheck);
        if (!plan.refusal.ok())
            return plan;
        plan.sends.append({pc.pcKey, iOperType, idxs, strArg});
    }
    return plan;
}

CCommResult checkApkSize(const QString& path)
{
    const qint64 size = QFileInfo(path).size();
    if (size <= INT_MAX)
        return CCommResult();
    return refuse(
        OpsCode::FileTooLarge,
        QStringLiteral("\"%1\"有%2字节，只能安装小于2GB的文件").arg(QFileInfo(path).fileName()).arg(size));
}

CCommResult selectRenameTarget(const OpsDeviceSnapshot& snap, int& pcPos, int& rowPos)
{
    int found = 0;
    for (int p = 0; p < snap.size(); ++p) {
        for (int r = 0; r < snap.at(p).rows.size(); ++r) {
            if (!snap.at(p).rows.at(r).bChecked)
                continue;
            if (found++ == 0) {
                pcPos = p;
                rowPos = r;
            }
        }
    }
    if (found == 0)
        return CCommResult::failure(OpsCode::RenameSelection, QStringLiteral("请选择一个模拟器。"),
                                    QStringLiteral("警告"));
    if (found > 1)
        return CCommResult::failure(OpsCode::RenameSelection, QStringLiteral("请单选模拟器进行重命名操作。"),
                                    QStringLiteral("警告"));
    return CCommResult();
}

CCommResult checkRenameOnline(const OpsPcEntry& pc)
{
    if (pc.bOnline)
        return CCommResult();
    return refuse(OpsCode::PcOffline, QStringLiteral("远程客户端处%1于离线状态，不能操作").arg(pc.pcName));
}

CCommResult checkRenameState(const OpsPcEntry& pc, const OpsSimuRow& row)
{
    QString text;
    switch (row.iState) {
    case eStateTransferring:
        text = QStringLiteral("%1的%2正在传输文件，请稍候。");
        break;
    case eStateInstalling:
        text = QStringLiteral("%1的%2正在安装文件，请稍候。");
        break;
    case eStateDeleting:
        text = QStringLiteral("%1的%2正在删除文件，请稍候。");
        break;
    case eStateDeleted:
        text = QStringLiteral("\"%1\"的%2不存在，不能操作");
        break;
    default:
        return CCommResult();
    }
    return refuse(OpsCode::StateForbids, text.arg(pc.pcName, row.simuName));
}

CCommResult checkRenameName(const QString& name)
{
    if (!name.trimmed().isEmpty())
        return CCommResult();
    return refuse(OpsCode::RenameNameEmpty, QStringLiteral("模拟器名字不能为空"));
}

int createRoom(const OpsPcEntry& pc)
{
    return qMax(0, kMaxSimusPerPc - int(pc.rows.size()));
}

CCommResult checkCreateRoom(const OpsPcEntry& pc, int wanted)
{
    const int room = createRoom(pc);
    if (room > 0 && wanted <= room)
        return CCommResult();
    return refuse(OpsCode::CreateNoRoom, QStringLiteral("\"%1\"已有%2个模拟器，最多%3个，不能再新建%4个")
                                             .arg(pc.pcName)
                                             .arg(pc.rows.size())
                                             .arg(kMaxSimusPerPc)
                                             .arg(qMax(1, wanted)));
}

CCommResult checkRenameProduct(const OpsPcEntry& pc)
{
    if (pc.iSimuType != 1)
        return CCommResult();
    return refuse(OpsCode::RenameUnsupported, QStringLiteral("暂不支持逍遥模拟器的重命名"));
}

} // namespace GroupOperChecks
