#pragma once

#include <QImage>
#include <QMutex>

// The newest decoded picture, handed from the decoder thread to the GUI thread. A slow painter
// only ever sees the newest picture: older ones are replaced, never queued.
class LatestFrame
{
public:
    // Stores the picture (shared, not copied). True when the reader has to be told: it has taken
    // everything stored before, so no notice is on its way.
    bool put(const QImage& picture);
    // The newest picture (null when none was stored since the last take).
    QImage take();
    // Pictures stored and pictures replaced before they were taken.
    quint64 putCount() const;
    quint64 droppedCount() const;

private:
    mutable QMutex m_mutex;
    QImage m_picture;
    bool m_noticePending = false;
    quint64 m_puts = 0;
    quint64 m_dropped = 0;
};
