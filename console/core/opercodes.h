#pragma once

#include "commresult.h"

#include <QStringList>

// Result codes of the console's operations, with their user texts.
namespace OpsCode {
constexpr int SameGroup = 6;           // "目标组与源组相同"
constexpr int ConnectAgentFailed = 14; // "无法连接客户端:\"%1\"（%2）"
constexpr int SendFileFailed = 24;     // "传输文件到%1时超时出错，请再试一次"
constexpr int NothingTicked = 44;      // "当前未选择设备或模拟器，无法操作"
constexpr int NotStarted = 46;         // "\"%1\"的模拟器%2未启动，请先打开该模拟器"
constexpr int RunLimit = 47;           // "\"%1\"最多只能同时运行%2个模拟器"
constexpr int StateForbids = 53;       // texts of the state table
constexpr int OpenFileFailed = 55;     // "打开文件失败"
constexpr int SendCommandFailed = 56;  // "发送命令失败"
constexpr int NoTargets = 60;          // "没有任务可供执行"
constexpr int PcOffline = 61;          // "远程客户端处于离线状态，不能操作"
constexpr int RenameSelection = 67; // "请选择一个模拟器。" / "请单选模拟器进行重命名操作。"
constexpr int RenameCancelled = 70;   // "重命名被取消" (never shown)
constexpr int RenameUnsupported = 71; // "暂不支持逍遥模拟器的重命名"
constexpr int GroupStoreFailed = 72;  // "保存分组失败"
constexpr int GroupUnknown = 73;      // "分组\"%1\"不存在"
constexpr int GroupExists = 74;       // "分组\"%1\"已存在"
constexpr int GroupProtected = 75;    // "默认分组不能删除"
constexpr int GroupNameEmpty = 76;    // "分组名不能为空"
constexpr int FileTooLarge = 77;      // "\"%1\"有%2字节，只能安装小于2GB的文件"
constexpr int RenameNameEmpty = 78;   // "模拟器名字不能为空"
constexpr int CreateNoRoom = 79;      // "\"%1\"已有%2个模拟器，最多%3个，不能再新建%4个"

// The refusal of an operation chosen while nothing is ticked.
inline CCommResult nothingTicked()
{
    return CCommResult::failure(NothingTicked, QStringLiteral("当前未选择设备或模拟器，无法操作"));
}
} // namespace OpsCode

// The emulator context menu of the device list: its entries by index (0 start, 1 close, 2 install,
// 3 delete, 4 rename, 5 group control), shown by the menu and named by the operations.
namespace OpsMenu {
inline QStringList entryTexts()
{
    return {QStringLiteral("启动"), QStringLiteral("关闭"),   QStringLiteral("安装apk"),
            QStringLiteral("删除"), QStringLiteral("重命名"), QStringLiteral("群控")};
}
// The entry of a PC's title menu that creates emulators on the PC.
inline QString createText()
{
    return QStringLiteral("新建模拟器");
}
} // namespace OpsMenu
