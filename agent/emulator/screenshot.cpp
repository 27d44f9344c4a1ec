#include "screenshot.h"

#include "adbbridge.h"
#include "resultcodes.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>

namespace Screenshot {

CCommResult checkFile(const QString& filePath)
{
    const QFileInfo info(filePath);
    if (!info.exists() || info.size() <= 0)
        return CCommResult::failure(ResultCode::kScreenshotEmpty, QStringLiteral("截图图片为空"));

    QImage image;
    if (!image.load(filePath))
        return CCommResult::failure(ResultCode::kScreenshotUnusable, QStringLiteral("截图图片不可用"));

    // A capture of a screen that has not drawn yet is all zero bytes.
    const uchar* bits = image.constBits();
    const qsizetype count = image.sizeInBytes();
    if (count > 100) {
        int sum = 0;
        for (qsizetype i = 100; i < 200 && i < count; ++i)
            sum += bits[i];
        if (sum < 2)
            return CCommResult::failure(ResultCode::kScreenshotUnusable,
                                        QStringLiteral("截图图片全透明不可用"));
    }
    return CCommResult();
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
