#include "shotthumbcache.h"

#include "thumbnail.h"

#include <QFileInfo>
#include <QImage>
#include <QMutexLocker>

ShotThumbCache& ShotThumbCache::instance()
{
    static ShotThumbCache s_cache;
    return s_cache;
}

QByteArray ShotThumbCache::jpegOf(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QByteArray();
    struStamped now{info.size(), info.lastModified(), QByteArray()};
    {
        QMutexLocker lock(&m_mutex);
        const auto it = m_entries.constFind(path);
        if (it != m_entries.constEnd() && it->size == now.size && it->modified == now.modified)
            return it->jpeg;
    }
    const QImage image(path);
    if (image.isNull())
        return QByteArray();
    now.jpeg = Thumbnail::encodeJpeg(image);
    if (!now.jpeg.isEmpty())
        keep(path, now);
    return now.jpeg;
}

void ShotThumbCache::put(const QString& path, const QByteArray& jpeg)
{
    const QFileInfo info(path);
    if (info.exists() && !jpeg.isEmpty())
        keep(path, {info.size(), info.lastModified(), jpeg});
}

void ShotThumbCache::keep(const QString& path, const struStamped& entry)
{
    QMutexLocker lock(&m_mutex);
    if (m_entries.size() >= kMaxEntries && !m_entries.contains(path))
        m_entries.clear(); // instances come and go; never let stale names pile up
    m_entries.insert(path, entry);
}

void ShotThumbCache::clear()
{
    QMutexLocker lock(&m_mutex);
    m_entries.clear();
}
