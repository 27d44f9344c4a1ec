#pragma once

#include "desktopdecoder.h"

#include <QByteArray>

struct AVCodecContext;
struct AVIOContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

// The desktop stream decoder over FFmpeg: raw MPEG-2 video over UDP, read datagram by datagram
// and decoded picture by picture as soon as a picture is complete; nothing is probed, decoding
// starts at the first key picture. Every blocking FFmpeg call is interrupted through the running
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
    Step decode(const QByteArray& data, QImage& picture, int& ffmpegRet);
    bool convert(QImage& picture);
    QImage& freeImage(int width, int height);

    const std::atomic_bool* m_pRunning;
    bool m_networkUp = false;
    AVIOContext* m_pIo = nullptr;
    AVCodecContext* m_pCodec = nullptr;
    AVFrame* m_pFrame = nullptr;
    AVPacket* m_pPacket = nullptr;
    SwsContext* m_pScaler = nullptr;
    static constexpr int kMaxPictureBytes = 8 * 1024 * 1024;
    QByteArray m_datagram = QByteArray(65536, '\0');
    QByteArray m_picture;
    int m_fullDatagram = 1472; // the grabber's datagram size
    bool m_synced = false;
    QImage m_images[3];
};
