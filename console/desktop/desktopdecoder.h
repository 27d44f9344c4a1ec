#pragma once

#include "commresult.h"

#include <QImage>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

// Result codes of a remote-desktop decoder run (str / log texts in the implementation).
namespace RmtDsktpCode {
constexpr int OpenInputFailed = 27;      // "打开输入流失败"
constexpr int StreamInfoFailed = 28;     // "寻找流信息失败"
constexpr int NoVideoStream = 29;        // "流数据中没有视频流"
constexpr int NoDecoder = 30;            // "格式上下文中没有找到解码器"
constexpr int DecoderOpenFailed = 31;    // "解码器打开失败"
constexpr int DecodeFailed = 37;         // "解码失败"
constexpr int NetworkInitFailed = 38;    // "格式网络初始化失败"
constexpr int ReadFailed = 39;           // "读取视频流失败"
constexpr int ControlConnectFailed = 40; // "连接远程桌面端口（%1）失败"
} // namespace RmtDsktpCode

// The video decoder of one viewer, used from the decoder thread only. Every blocking call returns
// soon after the running flag it was made with is cleared.
class IDesktopDecoder
{
public:
    enum class Step
    {
        Picture,      // a decoded picture was converted into `picture`
        NoPicture,    // a packet was taken, no picture yet
        ReadFailed,   // reading the stream failed (ffmpegRet)
        DecodeFailed, // the decoder refused the packet (ffmpegRet)
        Stopped,      // the running flag was cleared
    };

    virtual ~IDesktopDecoder() = default;
    // Code 38 on failure.
    virtual CCommResult initNetwork() = 0;
    // One attempt at opening the stream address: binds the local port, reads nothing; code 27 on
    // failure.
    virtual CCommResult openInput(const QString& url) = 0;
    // The decoder: codes 30 and 31 on failure.
    virtual CCommResult prepare() = 0;
    // Reads one packet and decodes it; a picture comes as 32-bit RGB of the stream's size.
    virtual Step step(QImage& picture, int& ffmpegRet) = 0;
    // Closes the input and releases everything (also after a partial open).
    virtual void close() = 0;
};

using DesktopDecoderFactory =
    std::function<std::unique_ptr<IDesktopDecoder>(const std::atomic_bool* pRunning)>;
