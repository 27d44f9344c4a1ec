#pragma once

#include <QByteArray>
#include <QSize>
#include <QString>

class QImage;

// Thumbnails travel as 100 x 150 JPEGs: in discovery replies and behind a start report.
namespace Thumbnail {
constexpr int kWidth = 100;
constexpr int kHeight = 150;
// What a receiver decodes at most: a few times a thumbnail. A JPEG of a hundred bytes can declare
// 30000 x 30000 pixels (gigabytes once decoded), so the size it declares is read before anything is
// allocated for its pixels.
constexpr int kMaxDecodeWidth = 4 * kWidth;
constexpr int kMaxDecodeHeight = 4 * kHeight;
constexpr int kMaxJpegBytes = 256 * 1024;

// The picture scaled to the thumbnail size (aspect ratio ignored) as JPEG; empty for a null picture.
QByteArray encodeJpeg(const QImage& picture);

// Reads only the header: true when the bytes are a JPEG whose declared size is within the limits
// above. Otherwise false with the reason in *pWhy.
bool checkJpeg(const QByteArray& jpeg, QString* pWhy = nullptr, QSize* pSize = nullptr);
// checkJpeg, then the decode; the one way a receiver turns thumbnail bytes into a picture.
bool decodeJpeg(const QByteArray& jpeg, QImage& out, QString* pWhy = nullptr);
// True when the bytes hold a whole JPEG (start and end markers), so a reader need not wait for more.
bool isCompleteJpeg(const QByteArray& jpeg);
} // namespace Thumbnail
