#pragma once

#include "commresult.h"

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
} // namespace Screenshot
