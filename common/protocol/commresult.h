#pragma once

#include <QString>

// The result of every operation of the system. Failures are values, not exceptions: callers test
// iRet and pass the record up; the user sees str, the logs get log.
struct CCommResult
{
    int iRet = 0;      // 0 success, otherwise a code listed by the module that raises it
    int iLastErr = 0;  // secondary error number
    int iExtraRet = 0; // extra integer result (a pid, a count, a record type, an integer setting)
    QString log;       // technical detail, for the logs
    QString str;       // user-facing text (Chinese), or a produced JSON text

    bool ok() const { return iRet == 0; }
    static CCommResult failure(int code, const QString& str, const QString& log = QString())
    {
        CCommResult r;
        r.iRet = code;
        r.str = str;
        r.log = log;
        return r;
    }
};

// Result codes of the shared foundation and the agent's command path, with their user texts.
namespace ResultCode {
constexpr int TcpSocketConnectFailed = 9;  // "tcpSocket连接失败"
constexpr int WaitReadyReadFailed = 10;    // "等待准备可读数据失败"
constexpr int OpenFileFailed = 17;         // "传输文件时，无法打开文件%1"
constexpr int TransferFileFailed = 24;     // "传输文件出错"
constexpr int ParseJsonFailed = 41;        // "解析json出错"
constexpr int SingleInstance = 45;         // "Tovia模拟器被控端只能运行一个实例"
constexpr int NotifyConsoleFailed = 52;    // "客户端连接总控端(%1)失败" / "客户端向总控写数据失败"
} // namespace ResultCode
