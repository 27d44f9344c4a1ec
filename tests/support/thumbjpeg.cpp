#include "thumbjpeg.h"

#include "thumbnail.h"

#include <QImage>

QByteArray thumbJpeg(const QColor& colour)
{
    QImage img(Thumbnail::kWidth, Thumbnail::kHeight, QImage::Format_RGB32);
    img.fill(colour);
    return Thumbnail::encodeJpeg(img);
}
