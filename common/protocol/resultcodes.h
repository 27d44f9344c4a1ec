#pragma once

// Result codes (CCommResult::iRet) raised by the shared foundation and the agent, in order of value.
// They travel to the console in each report's iReplyRet, so their values never change.
namespace ResultCode {
constexpr int kOk = 0;
constexpr int kSaveRefused = 1;           // the agent window's settings were not saved
constexpr int kInventoryParse = 8;        // an instance's machine file cannot be read
constexpr int TcpSocketConnectFailed = 9; // "tcpSocket连接失败"
constexpr int WaitReadyReadFailed = 10;   // "等待准备可读数据失败"
constexpr int kNoProductDir = 12;         // no install folder configured
constexpr int kNoInstances = 13;          // the product has no instance yet
constexpr int OpenFileFailed = 17;        // "传输文件时，无法打开文件%1"
constexpr int kNoSuchInstance = 18;       // the index names no instance of this PC
constexpr int kAdbFailed = 19;            // adb answered with an error
constexpr int TransferFileFailed = 24;    // "传输文件出错"
constexpr int kCloseRefused = 26;         // the product's tool refused to close the instance
constexpr int ParseJsonFailed = 41;       // "解析json出错"
constexpr int SingleInstance = 45;        // "Tovia模拟器被控端只能运行一个实例"
constexpr int kScreenshotEmpty = 50;      // the screenshot file is empty or missing
constexpr int kScreenshotUnusable = 51;   // the screenshot cannot be decoded or is transparent
constexpr int NotifyConsoleFailed = 52; // "客户端连接总控端(%1)失败" / "客户端向总控写数据失败"
constexpr int kDeviceOffline = 57;     // adb does not list the instance
constexpr int kInstanceOffline = 58;   // the instance did not come up in time
constexpr int kCloseFailed = 59;       // the instance is still running after the close
constexpr int kNoLauncher = 62;        // no product configured
constexpr int kWrongProductDir = 65;   // the folder holds no install of the product
constexpr int kRenameUnsupported = 69; // the product cannot rename instances
// The agent's refusals of what no product tool is given (values apart from the console's codes).
constexpr int kBadSimuName = 80;    // a title the product cannot take ("重命名失败：...")
constexpr int kRenameFailed = 81;   // the product's tool did not rename the instance
constexpr int kTooManyRecords = 82; // a command with more records than a PC can serve
constexpr int kCommandExpired = 83; // a command held too long before it could run
constexpr int kSaveCancelled = 84;  // the agent window's save was cancelled (never shown)
} // namespace ResultCode
