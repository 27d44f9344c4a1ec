#pragma once

#include <QByteArray>
#include <QCache>
#include <QImage>

// The decoded pictures of the tiles, bounded by their size in memory. A tile keeps its screenshot
// compressed and asks here when it is painted: a picture decoded lately comes from the cache, any
// other is decoded (through the thumbnail size check) and takes the place of the least recently
// used ones. Every new screenshot gets a new key, so an old picture is never shown for a new one and
// simply ages out. GUI thread only.
class ThumbnailCache
{
public:
    enum class eFormat
    {
        Jpeg, // a thumbnail from the network: size-checked before it is decoded
        Png   // a picture the console encoded itself
    };

    explicit ThumbnailCache(int maxKb = kDefaultMaxKb);
    ThumbnailCache(const ThumbnailCache&) = delete;
    ThumbnailCache& operator=(const ThumbnailCache&) = delete;

    static constexpr int kDefaultMaxKb = 32 * 1024;
    // The one cache of the console's tiles.
    static ThumbnailCache& instance();

    quint64 newKey() { return ++m_lastKey; }
    // The picture of `bytes` under `key`; a null picture (and the reason in *pWhy) when they do not
    // decode. *pDecoded tells whether it had to be decoded now.
    QImage picture(quint64 key, const QByteArray& bytes, eFormat format, QString* pWhy = nullptr,
                   bool* pDecoded = nullptr);
    void setMaxKb(int maxKb) { m_cache.setMaxCost(maxKb); }
    int maxKb() const { return m_cache.maxCost(); }
    int usedKb() const { return m_cache.totalCost(); }
    int count() const { return m_cache.count(); }

private:
    QCache<quint64, QImage> m_cache;
    quint64 m_lastKey = 0;
};
