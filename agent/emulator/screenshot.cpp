#include "screenshot.h"

#include "adbbridge.h"
#include "adbshells.h"
#include "launchertuning.h"
#include "resultcodes.h"
#include "shotthumbcache.h"
#include "thumbnail.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <cstring>
#include <zlib.h>

namespace Screenshot {

bool isBlank(const uchar* bits, qsizetype count)
{
    if (count <= 100)
        return false;
    int sum = 0;
    for (qsizetype i = 100; i < 200 && i < count; ++i)
        sum += bits[i];
    return sum < 2;
}

CCommResult checkFile(const QString& filePath)
{
    const QFileInfo info(filePath);
    if (!info.exists() || info.size() <= 0)
        return CCommResult::failure(ResultCode::kScreenshotEmpty, QStringLiteral("截图图片为空"));

    QImage image;
    if (!image.load(filePath))
        return CCommResult::failure(ResultCode::kScreenshotUnusable, QStringLiteral("截图图片不可用"));
    // A capture of a screen that has not drawn yet is all zero bytes.
    if (isBlank(image.constBits(), image.sizeInBytes()))
        return CCommResult::failure(ResultCode::kScreenshotUnusable, QStringLiteral("截图图片全透明不可用"));
    return CCommResult();
}

QImage rawFrame(const QByteArray& bytes)
{
    if (bytes.size() < 12)
        return QImage();
    const auto word = [&bytes](int i) { return qFromLittleEndian<quint32>(bytes.constData() + 4 * i); };
    const quint32 width = word(0);
    const quint32 height = word(1);
    const quint32 format = word(2);
    QImage::Format qtFormat = QImage::Format_Invalid;
    int depth = 4;
    switch (format) {
    case 1:
        qtFormat = QImage::Format_RGBA8888;
        break;
    case 2:
        qtFormat = QImage::Format_RGBX8888;
        break;
    case 5:
        qtFormat = QImage::Format_ARGB32; // B, G, R, A in memory
        break;
    case 4:
        qtFormat = QImage::Format_RGB16;
        depth = 2;
        break;
    default:
        return QImage();
    }
    // Lines of a QImage start on 32-bit boundaries.
    if (width == 0 || height == 0 || width > 4096 || height > 4096 || (width * depth) % 4 != 0)
        return QImage();
    const qint64 pixels = qint64(width) * height * depth;
    const qint64 header = bytes.size() - pixels;
    if (header != 12 && header != 16)
        return QImage();
    return QImage(reinterpret_cast<const uchar*>(bytes.constData() + header), int(width), int(height),
                  int(width) * depth, qtFormat);
}

namespace {

void appendBigEndian(QByteArray& bytes, quint32 value)
{
    const quint32 be = qToBigEndian(value);
    bytes.append(reinterpret_cast<const char*>(&be), 4);
}

void appendChunk(QByteArray& png, const char* type, const QByteArray& data)
{
    appendBigEndian(png, quint32(data.size()));
    const int from = png.size();
    png.append(type, 4);
    png.append(data);
    const auto* p = reinterpret_cast<const Bytef*>(png.constData() + from);
    appendBigEndian(png, quint32(crc32(crc32(0, nullptr, 0), p, uInt(png.size() - from))));
}

} // namespace

QByteArray storedPng(const QImage& picture)
{
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB32);
    const int width = rgb.width();
    const int height = rgb.height();
    // The rows as PNG has them: a filter byte (none), then red, green and blue of each pixel.
    QByteArray rows(height * (1 + 3 * width), Qt::Uninitialized);
    char* out = rows.data();
    for (int y = 0; y < height; ++y) {
        *out++ = 0;
        const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            *out++ = char(qRed(line[x]));
            *out++ = char(qGreen(line[x]));
            *out++ = char(qBlue(line[x]));
        }
    }
    // A zlib stream of stored blocks (at most 65535 bytes each) and the Adler-32 of the rows.
    QByteArray idat;
    idat.reserve(rows.size() + rows.size() / 65535 * 5 + 16);
    idat.append(char(0x78)).append(char(0x01));
    for (int pos = 0; pos < rows.size() || pos == 0;) {
        const int n = qMin(65535, rows.size() - pos);
        const bool last = pos + n >= rows.size();
        const char header[5] = {char(last ? 1 : 0), char(n & 0xff), char(n >> 8), char(~n & 0xff),
                                char((~n >> 8) & 0xff)};
        idat.append(header, 5).append(rows.constData() + pos, n);
        pos += n;
        if (last)
            break;
    }
    appendBigEndian(idat,
                    quint32(adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(rows.constData()),
                                    uInt(rows.size()))));
    QByteArray header;
    appendBigEndian(header, quint32(width));
    appendBigEndian(header, quint32(height));
    header.append(char(8)).append(char(2)).append(3,
                                                  char(0)); // 8 bits, RGB, deflate, no filter, no interlace
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    png.reserve(idat.size() + 64);
    appendChunk(png, "IHDR", header);
    appendChunk(png, "IDAT", idat);
    appendChunk(png, "IEND", QByteArray());
    return png;
}

namespace {

constexpr int kAdbSeconds = 60;

// The pulled picture file, as TakeScreenshot takes it; the thumbnail from the file.
struCapture captureByFile(const QString& serial, const QString& filePath, struCapture c)
{
    c.result = TakeScreenshot(serial, filePath);
    c.connected = c.result.iRet == 0;
    if (c.result.iRet == 0)
        c.jpeg = ShotThumbCache::instance().jpegOf(filePath);
    return c;
}

// The nearest pixels of the frame at the thumbnail's size, copied as they are (any format of 2 or 4
// bytes a pixel): only the pixels that are kept are touched, where a scaling of the picture would
// first convert all of it.
QImage sampled(const QImage& frame, int width, int height)
{
    const int bytes = frame.depth() / 8;
    QImage out(width, height, frame.format());
    for (int y = 0; y < height; ++y) {
        const uchar* src = frame.constScanLine(int((2 * qint64(y) + 1) * frame.height() / (2 * height)));
        uchar* dst = out.scanLine(y);
        for (int x = 0; x < width; ++x)
            std::memcpy(dst + x * bytes, src + (2 * qint64(x) + 1) * frame.width() / (2 * width) * bytes,
                        bytes);
    }
    return out.convertToFormat(QImage::Format_RGB32);
}

// The thumbnail-sized picture replaces the file in one step; its JPEG is what consoles are sent.
CCommResult keepThumbnail(const QImage& frame, const QString& filePath, QByteArray& jpeg)
{
    const QImage thumb = sampled(frame, Thumbnail::kWidth, Thumbnail::kHeight);
    jpeg = Thumbnail::encodeJpeg(thumb);
    // Written over in place (a file of the same size each time, so no blocks are given back and
    // taken again): a reader that meets it half-written takes the other file of the pair.
    QFile file(filePath);
    if (!file.open(QIODevice::ReadWrite)) {
        QDir().mkpath(QFileInfo(filePath).absolutePath());
        file.open(QIODevice::ReadWrite);
    }
    const QByteArray png = storedPng(thumb);
    if (jpeg.isEmpty() || !file.isOpen() || file.write(png) != png.size() || !file.resize(png.size()))
        return CCommResult::failure(ResultCode::kScreenshotUnusable, QStringLiteral("截图图片不可用"),
                                    QStringLiteral("cannot write %1: %2").arg(filePath, file.errorString()));
    ShotThumbCache::instance().put(filePath, jpeg);
    return CCommResult();
}

// The raw frame: from the instance's long-lived shell (no adb process started per capture), or, with
// the shells turned off, from one "exec-out" process into a buffer kept per capturing thread.
QByteArray rawScreen(const QString& serial, CCommResult& result)
{
    if (LauncherTuning::adbShellsOn()) {
        struShellReply reply =
            AdbShells::run(serial, {QStringLiteral("screencap")}, LauncherTuning::adbTimeoutMs(kAdbSeconds),
                           kMaxRawFrameBytes, eShellStderr::Dropped);
        result = reply.result;
        return std::move(reply.out);
    }
    thread_local QByteArray bytes;
    if (bytes.capacity() == 0)
        bytes.reserve(4 * 1024 * 1024);
    result = AdbExecOut(serial, {QStringLiteral("screencap")}, kMaxRawFrameBytes, bytes);
    return bytes;
}

} // namespace

struCapture capture(const QString& serial, const QString& filePath, bool connected, bool rawWorks)
{
    struCapture c;
    c.connected = connected;
    c.rawWorks = rawWorks;
    if (!rawWorks)
        return captureByFile(serial, filePath, c);
    if (!connected) {
        c.result = AdbConnect(serial);
        if (c.result.iRet != 0)
            return c;
        c.connected = true;
    }
    const QByteArray bytes = rawScreen(serial, c.result);
    if (c.result.iRet != 0) {
        c.connected = false; // connect again next time
        return c;
    }
    if (bytes.isEmpty()) {
        c.result = CCommResult::failure(ResultCode::kScreenshotEmpty, QStringLiteral("截图图片为空"));
        return c;
    }
    const QImage frame = rawFrame(bytes);
    if (frame.isNull()) {
        // Output, but no frame: this adb or system gives none; the picture file serves instead.
        c.rawWorks = false;
        return captureByFile(serial, filePath, c);
    }
    if (isBlank(frame.constBits(), frame.sizeInBytes())) {
        c.result =
            CCommResult::failure(ResultCode::kScreenshotUnusable, QStringLiteral("截图图片全透明不可用"));
        return c;
    }
    c.result = keepThumbnail(frame, filePath, c.jpeg);
    return c;
}

} // namespace Screenshot

CCommResult TakeScreenshot(const QString& serial, const QString& filePath)
{
    CCommResult r = AdbConnect(serial);
    if (r.iRet != 0)
        return r;
    r = AdbScreencap(serial, kDeviceScreencapPath);
    if (r.iRet != 0)
        return r;
    QDir().mkpath(QFileInfo(filePath).absolutePath());
    r = AdbPull(serial, kDeviceScreencapPath, filePath);
    if (r.iRet != 0)
        return r;
    return Screenshot::checkFile(filePath);
}
