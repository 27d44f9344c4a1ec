#pragma once

#include <QByteArray>

class QImage;

// Thumbnails travel as 100 x 150 JPEGs: in discovery replies and behind a start report.
namespace Thumbnail {
constexpr int kWidth = 100;
constexpr int kHeight = 150;
// The picture scaled to the thumbnail size (aspect ratio ignored) as JPEG; empty for a null picture.
QByteArray encodeJpeg(const QImage& picture);
} // namespace Thumbnail
