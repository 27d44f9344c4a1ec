#include "screenshot.h"

#include "adbbridge.h"
#include "adbshells.h"
#include "launchertuning.h"
#include "resultcodes.h"
#include "thumbnail.h"
#include "shotthumbcache.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

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

constexpr int kAdbSeconds = 60;

// A thumbnail-sized PNG stored without deflating: the file is small anyway, and compressing it
// would cost more than everything else of a capture.
constexpr int kFastPngQuality = 100;

// The pulled picture file, as TakeScreenshot takes it; the thumbnail from the file.
struCapture captureByFile(const QString& serial, const QString& filePath, struCapture c)
{
    c.result = TakeScreenshot(serial, filePath);
    c.connected = c.result.iRet == 0;
    if (c.result.iRet == 0)
        c.jpeg = ShotThumbCache::instance().jpegOf(filePath);
    return c;
}

// The thumbnail-sized picture replaces the file in one step; its JPEG is what consoles are sent.
CCommResult keepThumbnail(const QImage& frame, const QString& filePath, QByteArray& jpeg)
{
    const QImage thumb =
        frame.scaled(Thumbnail::kWidth, Thumbnail::kHeight, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    jpeg = Thumbnail::encodeJpeg(thumb);
    QDir().mkpath(QFileInfo(filePath).absolutePath());
    // Written in place: a reader that meets it half-written takes the other file of the pair.
    QFile file(filePath);
    if (jpeg.isEmpty() || !file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        !thumb.save(&file, "PNG", kFastPngQuality))
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
        struShellReply reply = AdbShells::run(serial, {QStringLiteral("screencap")},
                                              LauncherTuning::adbTimeoutMs(kAdbSeconds), kMaxRawFrameBytes,
                                              eShellStderr::Dropped);
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
