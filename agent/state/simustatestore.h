#pragma once

#include "simurecords.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QRecursiveMutex>
#include <QStringList>

#include <functional>

// The one owner of what the agent knows about its instances: every instance's state record, the
// watch list of daemon mode and the list of instances found running. Every thread (command groups,
// the watchdog, the screenshot pool, discovery, the inventory scan) reads and changes them here, in
// steps that are atomic: an operation begins on an instance only when none runs on it, ends with
// its outcome, and a finding of the watchdog is stored only when no operation began while it
// probed. Records and lists are written through to the settings file under the keys they always
// had ("simu2/<idx>", "daemon/list", "daemon/runningList"), so the file reads as before and a
// restarted agent finds them. A change of the file made behind the store's back (another program,
// a test) is read in at the next access, noticed as QSettings notices it: by size and time.
class SimuStateStore
{
public:
    using Change = std::function<void(struSimuRecord&)>;

    // One instance as the store knows it.
    struct struEntry
    {
        struSimuRecord rec;
        bool owned = false; // an operation runs on it (or its stored state says one does)
        quint64 opSeq = 0;  // operations begun on it so far
    };

    static SimuStateStore& instance();

    // The record; one never stored reads as the initial record (not started, time 0, memuIdx set).
    struSimuRecord record(const QString& memuIdx);
    struEntry entry(const QString& memuIdx);
    // The records of these instances, read in one step.
    QHash<QString, struSimuRecord> records(const QStringList& memuIdxs);
    // Loads (from the initial record when never stored), changes and stores one record. For the
    // owner of an operation on it, and for changes that do not depend on who else works on it.
    struSimuRecord update(const QString& memuIdx, const Change& change);

    static constexpr quint64 kAnyOpSeq = ~quint64(0);
    // Begins an operation on the instance: only when none runs on it (and, given seenOpSeq, when no
    // other began since the caller looked). Then `change` (its busy state) is applied and stored and
    // the instance is owned until finishOperation. False, with nothing changed, otherwise.
    bool beginOperation(const QString& memuIdx, const Change& change, quint64 seenOpSeq = kAnyOpSeq);
    // Ends the operation with its outcome (applied and stored); the instance is free again.
    void finishOperation(const QString& memuIdx, const Change& outcome = Change());
    // True while an operation runs on the instance, or its stored state says one does (starting,
    // closing, installing, deleting): the watchdog and the scan leave it to that operation.
    bool isOwned(const QString& memuIdx);
    // A finding of a probe that began when the instance showed `seenOpSeq`: stored only when the
    // instance is not owned and no operation began since. False when it was dropped.
    bool updateIfUnowned(const QString& memuIdx, quint64 seenOpSeq, const Change& change);

    // daemon/list, the instances daemon mode keeps alive.
    QStringList watchList();
    void setWatchList(const QStringList& list);
    void addWatched(const QString& memuIdx);    // only when absent
    void removeWatched(const QString& memuIdx); // every occurrence

    // daemon/runningList, the instances found running by the latest listing.
    QStringList runningList();
    void setRunningList(const QStringList& list);
    void addRunning(const QString& memuIdx); // only when absent

    // A console asked for the states and thumbnails of this PC.
    void noteStateQuery();
    // Milliseconds since the latest state query; -1 when none came yet.
    qint64 msSinceStateQuery();

    // Starting, closing, installing or deleting.
    static bool isBusyState(int iState);

private:
    SimuStateStore();
    struct struFileStamp
    {
        QString path;
        qint64 size = -1;
        QDateTime modified;
        bool operator==(const struFileStamp& o) const
        {
            return path == o.path && size == o.size && modified == o.modified;
        }
    };
    static struFileStamp stampOf(const QString& path);
    // Reads the file in again when it is not the one the store last read or wrote.
    void syncWithFile();
    void reload(const QString& path);
    // After the store wrote the file: its new stamp is the store's own.
    void wrote();
    struSimuRecord& recordRef(const QString& memuIdx);
    struSimuRecord cachedRecord(const QString& memuIdx) const;
    void store(const struSimuRecord& rec);

    QRecursiveMutex m_mutex;
    struFileStamp m_stamp;
    QHash<QString, struSimuRecord> m_records;
    QHash<QString, bool> m_owned;    // instances an operation runs on
    QHash<QString, quint64> m_opSeq; // operations begun, per instance
    QStringList m_watchList;
    QStringList m_runningList;
    QElapsedTimer m_clock;
    qint64 m_lastStateQueryMs = -1;
};
