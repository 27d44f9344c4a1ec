#include "grabberrecord.h"

#include "agentlogging.h"
#include "platform.h"
#include "simusettings.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QMutex>
#include <QStringList>

#include <algorithm>

namespace GrabberRecord {

namespace {

const char* const kKey = "desktop/grabbers";
// Start times are told apart from a pid's later use by this much.
constexpr qint64 kStartSlackMs = 10000;
constexpr int kMaxEntries = 64;

QMutex g_mutex;

struct Entry
{
    qint64 pid = 0;
    qint64 startMs = 0; // ms since the epoch
};

QList<Entry> load()
{
    QList<Entry> entries;
    const QStringList items = SimuSettings::value(QString::fromLatin1(kKey)).toStringList();
    for (const QString& item : items.mid(0, kMaxEntries)) {
        const QStringList parts = item.split(QLatin1Char('@'));
        Entry e;
        bool pidOk = false;
        bool startOk = false;
        e.pid = parts.value(0).toLongLong(&pidOk);
        e.startMs = parts.value(1).toLongLong(&startOk);
        if (pidOk && startOk && e.pid > 0)
            entries.append(e);
    }
    return entries;
}

void store(const QList<Entry>& entries)
{
    QStringList items;
    for (const Entry& e : entries)
        items << QStringLiteral("%1@%2").arg(e.pid).arg(e.startMs);
    SimuSettings::setValue(QString::fromLatin1(kKey), items);
}

// When the process was started, ms since the epoch; -1 when it is gone.
qint64 startOf(qint64 pid)
{
    const qint64 age = platform::processAgeMs(pid);
    return age < 0 ? -1 : QDateTime::currentMSecsSinceEpoch() - age;
}

bool isSameProcess(const Entry& e)
{
    const qint64 start = startOf(e.pid);
    return start >= 0 && qAbs(start - e.startMs) <= kStartSlackMs;
}

} // namespace

void add(qint64 pid)
{
    const qint64 start = startOf(pid);
    if (start < 0)
        return;
    QMutexLocker lock(&g_mutex);
    QList<Entry> entries = load();
    entries.append({pid, start});
    store(entries.mid(qMax(0, entries.size() - kMaxEntries)));
}

void remove(qint64 pid)
{
    QMutexLocker lock(&g_mutex);
    QList<Entry> entries = load();
    const int before = entries.size();
    entries.erase(
        std::remove_if(entries.begin(), entries.end(), [pid](const Entry& e) { return e.pid == pid; }),
        entries.end());
    if (entries.size() != before)
        store(entries);
}

int endLeftovers(const QString& grabberPath, qint64 keep)
{
    const std::string path = QDir::toNativeSeparators(QDir::cleanPath(grabberPath)).toStdString();
    QMutexLocker lock(&g_mutex);
    const QList<Entry> entries = load();
    QList<Entry> kept;
    int ended = 0;
    for (const Entry& e : entries) {
        if (!isSameProcess(e))
            continue; // gone, or its pid belongs to another process now
        if (e.pid == keep || !platform::processRunsImage(e.pid, path)) {
            kept.append(e);
            continue;
        }
        qCWarning(lcDesktop) << "ending a grabber left running by an earlier run of this agent, pid" << e.pid;
        if (platform::killProcessTree(e.pid))
            ++ended;
        else
            kept.append(e);
    }
    if (kept.size() != entries.size())
        store(kept);
    return ended;
}

} // namespace GrabberRecord
