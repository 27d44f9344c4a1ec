#include "thumbnail.h"

#include <QBuffer>
#include <QImage>

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

} // namespace Thumbnail
