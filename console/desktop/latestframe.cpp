#include "latestframe.h"

bool LatestFrame::put(const QImage& picture)
{
    QMutexLocker lock(&m_mutex);
    ++m_puts;
    if (!m_picture.isNull())
        ++m_dropped;
    m_picture = picture;
    const bool notify = !m_noticePending;
    m_noticePending = true;
    return notify;
}

QImage LatestFrame::take()
{
    QMutexLocker lock(&m_mutex);
    m_noticePending = false;
    QImage picture = m_picture;
    m_picture = QImage();
    return picture;
}

quint64 LatestFrame::putCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_puts;
}

quint64 LatestFrame::droppedCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_dropped;
}
