#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QString>

// The console's thumbnails (100 x 150 JPEG) of the screenshot files. Decoding a full screenshot is
// the bulk of the cost of a thumbnail, so a file's thumbnail is made once per version of the file:
// the screenshot pool hands in the thumbnail of each file it writes, and a file written by anyone
// else (the start sequence, a file that changed behind the pool's back) is decoded once.
class ShotThumbCache
{
public:
    static constexpr int kMaxEntries = 200;

    static ShotThumbCache& instance();

    // The thumbnail of the file as it is now; empty when it is not a picture.
    QByteArray jpegOf(const QString& path);
    // The thumbnail of a file just written.
    void put(const QString& path, const QByteArray& jpeg);
    void clear();

private:
    struct struStamped
    {
        qint64 size = -1;
        QDateTime modified;
        QByteArray jpeg;
    };
    void keep(const QString& path, const struStamped& entry);

    QMutex m_mutex;
    QHash<QString, struStamped> m_entries;
};
