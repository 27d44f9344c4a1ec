#pragma once

#include "desktopdecoder.h"

#include <QByteArray>

struct AVCodecContext;
struct AVFormatContext;
struct AVIOContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

// The desktop stream decoder over FFmpeg: raw MPEG-2 video over UDP, opened with little probing so
// that the first picture comes soon; every blocking FFmpeg call is interrupted through the running
// flag. Pictures are converted to BGRA with one cached scaler into a few reused images.
class FfmpegDesktopDecoder : public IDesktopDecoder
{
public:
    explicit FfmpegDesktopDecoder(const std::atomic_bool* pRunning);
    ~FfmpegDesktopDecoder() override;

    CCommResult initNetwork() override;
    CCommResult openInput(const QString& url) override;
    CCommResult prepare() override;
    Step step(QImage& picture, int& ffmpegRet) override;
    void close() override;

    static QString errorText(int ffmpegRet);
    static DesktopDecoderFactory factory();

private:
    static int interruptCallback(void* opaque);
    CCommResult openFormat();
    bool convert(QImage& picture);
    QImage& freeImage(int width, int height);

    const std::atomic_bool* m_pRunning;
    bool m_networkUp = false;
    AVIOContext* m_pIo = nullptr;
    AVFormatContext* m_pFormat = nullptr;
    AVCodecContext* m_pCodec = nullptr;
    AVFrame* m_pFrame = nullptr;
    AVPacket* m_pPacket = nullptr;
    SwsContext* m_pScaler = nullptr;
    int m_streamIndex = -1;
    QImage m_images[3];
};
