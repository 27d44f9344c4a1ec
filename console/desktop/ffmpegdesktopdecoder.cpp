#include "ffmpegdesktopdecoder.h"

#include <QDebug>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libswscale/swscale.h>
}

namespace {

CCommResult failure(int code, const QString& str, const QString& log, int ffmpegRet)
{
    CCommResult ret = CCommResult::failure(code, str, log);
    ret.iExtraRet = ffmpegRet;
    return ret;
}

} // namespace

FfmpegDesktopDecoder::FfmpegDesktopDecoder(const std::atomic_bool* pRunning) : m_pRunning(pRunning) {}

FfmpegDesktopDecoder::~FfmpegDesktopDecoder()
{
    close();
}

DesktopDecoderFactory FfmpegDesktopDecoder::factory()
{
    return [](const std::atomic_bool* pRunning) { return std::make_unique<FfmpegDesktopDecoder>(pRunning); };
}

QString FfmpegDesktopDecoder::errorText(int ffmpegRet)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(ffmpegRet, text, sizeof text);
    return QStringLiteral("%1 (%2)").arg(ffmpegRet).arg(QString::fromLocal8Bit(text));
}

int FfmpegDesktopDecoder::interruptCallback(void* opaque)
{
    const auto* self = static_cast<const FfmpegDesktopDecoder*>(opaque);
    return self->m_pRunning->load() ? 0 : 1;
}

CCommResult FfmpegDesktopDecoder::initNetwork()
{
    const int ret = avformat_network_init();
    if (ret < 0)
        return failure(RmtDsktpCode::NetworkInitFailed, QStringLiteral("格式网络初始化失败"),
                       QStringLiteral("错误返回值：%1").arg(errorText(ret)), ret);
    m_networkUp = true;
    return CCommResult();
}

CCommResult FfmpegDesktopDecoder::openInput(const QString& url)
{
    // Opening binds the port without waiting for data, so the agent can be asked to send as soon
    // as this returns. A large socket buffer and queue keep key pictures whole.
    const AVIOInterruptCB interrupt{&FfmpegDesktopDecoder::interruptCallback, this};
    AVDictionary* options = nullptr;
    av_dict_set(&options, "buffer_size", "4194304", 0);
    av_dict_set(&options, "overrun_nonfatal", "1", 0);
    av_dict_set(&options, "fifo_size", "65536", 0);
    const QByteArray address = url.toUtf8().left(127);
    const int ret = avio_open2(&m_pIo, address.constData(), AVIO_FLAG_READ, &interrupt, &options);
    av_dict_free(&options);
    if (ret < 0)
        return failure(RmtDsktpCode::OpenInputFailed, QStringLiteral("打开输入流失败"),
                       QStringLiteral("can not open input file,err code:%1").arg(errorText(ret)), ret);
    return CCommResult();
}

CCommResult FfmpegDesktopDecoder::prepare()
{
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG2VIDEO);
    if (!codec)
        return failure(RmtDsktpCode::NoDecoder, QStringLiteral("格式上下文中没有找到解码器"),
                       QStringLiteral("格式上下文中没有找到解码器"), 0);
    m_pCodec = avcodec_alloc_context3(codec);
    int ret = m_pCodec ? 0 : AVERROR(ENOMEM);
    if (ret >= 0) {
        m_pCodec->flags |= AV_CODEC_FLAG_LOW_DELAY;
        ret = avcodec_open2(m_pCodec, codec, nullptr);
    }
    m_pFrame = av_frame_alloc();
    m_pPacket = av_packet_alloc();
    if (ret < 0 || !m_pFrame || !m_pPacket)
        return failure(RmtDsktpCode::DecoderOpenFailed, QStringLiteral("解码器打开失败"),
                       QStringLiteral("解码器打开失败 %1").arg(errorText(ret)), ret);
    return CCommResult();
}

// The grabber flushes its output after every picture, so a picture's datagrams are full-sized but
// for the last one. A picture is decoded as soon as its last datagram is in: a parser would wait
// for the next picture's start code, one picture interval later.
IDesktopDecoder::Step FfmpegDesktopDecoder::step(QImage& picture, int& ffmpegRet)
{
    ffmpegRet =
        avio_read_partial(m_pIo, reinterpret_cast<unsigned char*>(m_datagram.data()), m_datagram.size());
    if (ffmpegRet <= 0) {
        if (!m_pRunning->load() || ffmpegRet == AVERROR_EXIT)
            return Step::Stopped;
        // A failed read leaves the reader at its end; clear that so that a later read can succeed.
        m_pIo->eof_reached = 0;
        m_pIo->error = 0;
        return Step::ReadFailed;
    }
    const int size = ffmpegRet;
    ffmpegRet = 0;
    m_fullDatagram = qMax(m_fullDatagram, size);
    m_picture.append(m_datagram.constData(), size);
    if (size == m_fullDatagram && m_picture.size() < kMaxPictureBytes)
        return Step::NoPicture;
    const QByteArray data = m_picture;
    m_picture.clear();
    // Decoding starts at a sequence header (a key picture); what comes before cannot be decoded.
    if (!m_synced && !data.startsWith(QByteArray::fromHex("000001b3")))
        return Step::NoPicture;
    m_synced = true;
    return decode(data, picture, ffmpegRet);
}

IDesktopDecoder::Step FfmpegDesktopDecoder::decode(const QByteArray& data, QImage& picture, int& ffmpegRet)
{
    ffmpegRet = av_new_packet(m_pPacket, data.size());
    if (ffmpegRet < 0)
        return Step::DecodeFailed;
    memcpy(m_pPacket->data, data.constData(), size_t(data.size()));
    ffmpegRet = avcodec_send_packet(m_pCodec, m_pPacket);
    av_packet_unref(m_pPacket);
    if (ffmpegRet < 0 && ffmpegRet != AVERROR(EAGAIN))
        return Step::DecodeFailed;
    bool got = false;
    while ((ffmpegRet = avcodec_receive_frame(m_pCodec, m_pFrame)) >= 0)
        got = convert(picture) || got;
    if (ffmpegRet != AVERROR(EAGAIN) && ffmpegRet != AVERROR_EOF)
        return Step::DecodeFailed;
    ffmpegRet = 0;
    return got ? Step::Picture : Step::NoPicture;
}

QImage& FfmpegDesktopDecoder::freeImage(int width, int height)
{
    // An image the GUI no longer holds is written again; otherwise a fresh one.
    for (QImage& image : m_images) {
        if (!image.isNull() && image.isDetached() && image.width() == width && image.height() == height)
            return image;
    }
    for (QImage& image : m_images) {
        if (image.isNull() || image.isDetached() || image.width() != width || image.height() != height) {
            image = QImage(width, height, QImage::Format_RGB32);
            return image;
        }
    }
    m_images[0] = QImage(width, height, QImage::Format_RGB32);
    return m_images[0];
}

bool FfmpegDesktopDecoder::convert(QImage& picture)
{
    const int width = m_pFrame->width;
    const int height = m_pFrame->height;
    m_pScaler = sws_getCachedContext(m_pScaler, width, height, AVPixelFormat(m_pFrame->format), width, height,
                                     AV_PIX_FMT_BGRA, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!m_pScaler || width <= 0 || height <= 0) {
        av_frame_unref(m_pFrame);
        return false;
    }
    QImage& image = freeImage(width, height);
    uint8_t* planes[4] = {image.bits(), nullptr, nullptr, nullptr};
    int strides[4] = {int(image.bytesPerLine()), 0, 0, 0};
    sws_scale(m_pScaler, m_pFrame->data, m_pFrame->linesize, 0, height, planes, strides);
    av_frame_unref(m_pFrame);
    picture = image;
    return true;
}

void FfmpegDesktopDecoder::close()
{
    if (m_pIo)
        avio_closep(&m_pIo);
    avcodec_free_context(&m_pCodec);
    av_frame_free(&m_pFrame);
    av_packet_free(&m_pPacket);
    sws_freeContext(m_pScaler);
    m_pScaler = nullptr;
    if (m_networkUp) {
        avformat_network_deinit();
        m_networkUp = false;
    }
}
