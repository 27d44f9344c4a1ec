#include "thumbnail.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>

namespace Thumbnail {

QByteArray encodeJpeg(const QImage& picture)
{
    if (picture.isNull())
        return QByteArray();
    const QImage thumb = picture.scaled(kWidth, kHeight, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    if (!thumb.save(&buffer, "JPG"))
        return QByteArray();
    return jpeg;
}

namespace {

bool fail(QString* pWhy, const QString& why)
{
    if (pWhy)
        *pWhy = why;
    return false;
}

bool checkReader(QImageReader& reader, int bytes, QString* pWhy, QSize* pSize)
{
    if (bytes > kMaxJpegBytes)
        return fail(pWhy, QStringLiteral("%1 bytes, more than %2").arg(bytes).arg(kMaxJpegBytes));
    const QSize size = reader.size(); // the header only
    if (pSize)
        *pSize = size;
    if (!size.isValid())
        return fail(pWhy, QStringLiteral("no JPEG header: ") + reader.errorString());
    if (size.width() > kMaxDecodeWidth || size.height() > kMaxDecodeHeight)
        return fail(pWhy, QStringLiteral("declares %1 x %2 pixels, more than %3 x %4")
                              .arg(size.width())
                              .arg(size.height())
                              .arg(kMaxDecodeWidth)
                              .arg(kMaxDecodeHeight));
    return true;
}

} // namespace

bool checkJpeg(const QByteArray& jpeg, QString* pWhy, QSize* pSize)
{
    QBuffer buffer;
    buffer.setData(jpeg);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpg");
    return checkReader(reader, jpeg.size(), pWhy, pSize);
}

bool decodeJpeg(const QByteArray& jpeg, QImage& out, QString* pWhy)
{
    QBuffer buffer;
    buffer.setData(jpeg);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpg");
    if (!checkReader(reader, jpeg.size(), pWhy, nullptr))
        return false;
    QImage image;
    if (!reader.read(&image))
        return fail(pWhy, QStringLiteral("does not decode: ") + reader.errorString());
    out = image;
    return true;
}

bool isCompleteJpeg(const QByteArray& jpeg)
{
    return jpeg.size() >= 4 && jpeg.startsWith("\xFF\xD8") && jpeg.endsWith("\xFF\xD9");
}

} // namespace Thumbnail
