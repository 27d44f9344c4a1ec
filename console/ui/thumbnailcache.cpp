#include "thumbnailcache.h"

#include "thumbnail.h"

ThumbnailCache::ThumbnailCache(int maxKb) : m_cache(maxKb) {}

ThumbnailCache& ThumbnailCache::instance()
{
    static ThumbnailCache cache;
    return cache;
}

QImage ThumbnailCache::picture(quint64 key, const QByteArray& bytes, eFormat format, QString* pWhy,
                               bool* pDecoded)
{
    if (pDecoded)
        *pDecoded = false;
    if (const QImage* known = m_cache.object(key))
        return *known;
    QImage decoded;
    const bool ok = format == eFormat::Jpeg ? Thumbnail::decodeJpeg(bytes, decoded, pWhy)
                                            : decoded.loadFromData(bytes, "PNG");
    if (pDecoded)
        *pDecoded = true;
    if (!ok || decoded.isNull()) {
        if (pWhy && pWhy->isEmpty())
            *pWhy = QStringLiteral("the picture does not decode");
        return QImage();
    }
    const int costKb = int(qMax<qsizetype>(1, decoded.sizeInBytes() / 1024));
    m_cache.insert(key, new QImage(decoded), costKb); // a picture larger than the whole cache is not kept
    return decoded;
}
