#pragma once

#include "commresult.h"

#include <QByteArray>
#include <QImage>
#include <QString>

// Device-side file that a capture is written to and pulled from.
inline const QString kDeviceScreencapPath = QStringLiteral("/data/data/screencap.png");

// One screenshot of one instance into `filePath`: adb connect, screencap, pull, then three checks
// of the pulled file: 50 "截图图片为空" (missing or empty), 51 "截图图片不可用" (not a picture),
// 51 "截图图片全透明不可用" (blank: pixel bytes 100 to 199 add up to less than 2). adb failures
// pass through (25, 22).
CCommResult TakeScreenshot(const QString& serial, const QString& filePath);

namespace Screenshot {
// The validity checks alone (steps after the pull).
CCommResult checkFile(const QString& filePath);
// The blank test of a picture's pixel bytes: more than 100 of them, and bytes 100 to 199 add up to
// less than 2.
bool isBlank(const uchar* bits, qsizetype count);

// The largest raw frame taken (a 4096 x 4096 screen).
constexpr qint64 kMaxRawFrameBytes = 16 + qint64(4096) * 4096 * 4;
// A frame of "screencap" without -p: a header of width, height and pixel format (little-endian
// 32-bit words, on newer systems followed by a colour space word), then the pixels, 4 bytes each
// (formats 1 RGBA_8888, 2 RGBX_8888, 5 BGRA_8888) or 2 bytes (4 RGB_565). The picture refers to
// `bytes`, which must outlive it; null when the bytes are no such frame.
QImage rawFrame(const QByteArray& bytes);

// The picture as a PNG file of 8-bit RGB whose data is stored, not deflated: a thumbnail-sized
// file is small anyway, and compressing it would cost more than the rest of a capture.
QByteArray storedPng(const QImage& picture);

// What a capture of the screenshot pool gives.
struct struCapture
{
    CCommResult result;
    QByteArray jpeg;        // the console's thumbnail of the picture (on success)
    bool connected = false; // adb is connected to the instance
    bool rawWorks = true;   // "exec-out screencap" gives frames (else the pulled file is used)
};
// One capture for the pool and the start sequence, the cheapest way to the thumbnail: the raw frame
// of "screencap" in the instance's long-lived adb shell (no adb process to start, no picture file on
// the device, no PNG to encode there or to decode here), checked like TakeScreenshot, scaled to the
// thumbnail; the thumbnail-sized picture is written to filePath (the pool alternates two files, so a
// reader never lacks a whole one). adb connect only when not connected yet. An instance whose adb
// gives no raw frames is captured like TakeScreenshot.
struCapture capture(const QString& serial, const QString& filePath, bool connected, bool rawWorks);
} // namespace Screenshot
