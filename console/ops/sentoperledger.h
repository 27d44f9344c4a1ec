#pragma once

#include <QHash>
#include <QList>
#include <QMutex>
#include <QStringList>

// The operations this console delivered whose per-emulator results it still expects. Each command
// client enters its targets before it sends; the result server takes a report only when it finds the
// matching entry, and takes it away with it, so a report nobody asked for (or a replay of one) does
// not move any emulator's state. Shared by the command clients' threads and the result server's.
class SentOperLedger
{
public:
    // An agent stamps its report up to this many seconds after the operation's own time.
    static constexpr int kReportTimeSlack = 2;
    // Entries older than this are forgotten (a long install runs a few minutes per emulator, one
    // after another).
    static constexpr int kMaxAgeSecs = 2 * 60 * 60;
    static constexpr int kMaxEntries = 65536;

    void add(const QString& pcName, int iOperType, const QStringList& memuIdxs, int iTime);
    void remove(const QString& pcName, int iOperType, const QStringList& memuIdxs, int iTime);
    // True when the report answers an entry, which is then taken away.
    bool take(const QString& pcName, const QString& memuIdx, int iOperType, int iReportTime);
    int size() const;

private:
    struct Entry
    {
        int iTime = 0;
        qint64 addedAt = 0;
    };
    static QString keyOf(const QString& pcName, const QString& memuIdx, int iOperType);
    // Drops entries past their age, and the oldest ones beyond kMaxEntries; a sweep at most once a
    // minute unless over the bound.
    void expire(qint64 nowSecs);

    mutable QMutex m_lock;
    QHash<QString, QList<Entry>> m_byKey; // PC, emulator and type; oldest first
    int m_count = 0;
    qint64 m_lastSweep = 0;
};
