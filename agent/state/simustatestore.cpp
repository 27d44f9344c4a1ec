#include "simustatestore.h"

#include "agentlogging.h"
#include "jsoncodec.h"
#include "simusettings.h"

#include <QFileInfo>
#include <QMutexLocker>
#include <QSettings>

namespace {
const char* const kRecordGroup = "simu2";
const char* const kWatchListKey = "daemon/list";
const char* const kRunningListKey = "daemon/runningList";
} // namespace

SimuStateStore& SimuStateStore::instance()
{
    static SimuStateStore s_store;
    return s_store;
}

SimuStateStore::SimuStateStore()
{
    m_clock.start();
}

bool SimuStateStore::isBusyState(int iState)
{
    return iState == eStateStarting || iState == eStateClosing || iState == eStateInstalling ||
           iState == eStateDeleting;
}

// ---- the file -------------------------------------------------------------------------------------

SimuStateStore::struFileStamp SimuStateStore::stampOf(const QString& path)
{
    const QFileInfo info(path);
    struFileStamp stamp;
    stamp.path = path;
    if (info.exists()) {
        stamp.size = info.size();
        stamp.modified = info.lastModified();
    }
    return stamp;
}

void SimuStateStore::syncWithFile()
{
    const struFileStamp now = stampOf(SimuSettings::iniPath());
    if (now == m_stamp)
        return;
    if (now.path != m_stamp.path) {
        // Another data directory: nothing of the old one applies (tests switch homes).
        m_owned.clear();
        m_opSeq.clear();
    }
    reload(now.path);
    m_stamp = now;
}

void SimuStateStore::reload(const QString& path)
{
    QSettings s(path, QSettings::IniFormat);
    m_records.clear();
    s.beginGroup(QLatin1String(kRecordGroup));
    for (const QString& idx : s.childKeys()) {
        struSimuRecord rec;
        rec.memuIdx = idx;
        JsonCodec::parseSimuRecord(s.value(idx).toString().toUtf8(), rec);
        rec.memuIdx = idx;
        m_records.insert(idx, rec);
    }
    s.endGroup();
    m_watchList =
        s.value(QLatin1String(kWatchListKey)).toString().split(QLatin1Char(';'), Qt::SkipEmptyParts);
    m_runningList = s.value(QLatin1String(kRunningListKey)).toStringList();
    qCDebug(lcState) << "instance states read from" << path << ":" << m_records.size() << "records";
}

void SimuStateStore::wrote()
{
    m_stamp = stampOf(SimuSettings::iniPath());
}

struSimuRecord& SimuStateStore::recordRef(const QString& memuIdx)
{
    auto it = m_records.find(memuIdx);
    if (it == m_records.end()) {
        struSimuRecord rec;
        rec.memuIdx = memuIdx;
        it = m_records.insert(memuIdx, rec);
    }
    return it.value();
}

void SimuStateStore::store(const struSimuRecord& rec)
{
    SimuSettings::storeSimuRecord(rec);
    wrote();
}

// ---- records --------------------------------------------------------------------------------------

struSimuRecord SimuStateStore::record(const QString& memuIdx)
{
    QMutexLocker lock(&m_mutex);
    syncWithFile();
    return cachedRecord(memuIdx);
}

struSimuRecord SimuStateStore::cachedRecord(const QString& memuIdx) const
{
    const auto it = m_records.constFind(memuIdx);
    if (it != m_records.constEnd())
        return it.value();
    struSimuRecord rec;
    rec.memuIdx = memuIdx;
    return rec;
}

SimuStateStore::struEntry SimuStateStore::entry(const QString& memuIdx)
{
    QMutexLocker lock(&m_mutex);
    struEntry e;
    e.rec = record(memuIdx);
    e.owned = isOwned(memuIdx);
    e.opSeq = m_opSeq.value(memuIdx);
    return e;
}

QHash<QString, struSimuRecord> SimuStateStore::records(const QStringList& memuIdxs)
{
    QMutexLocker lock(&m_mutex);
    syncWithFile();
    QHash<QString, struSimuRecord> out;
    for (const QString& idx : memuIdxs)
        out.insert(idx, cachedRecord(idx));
    return out;
}

struSimuRecord SimuStateStore::update(const QString& memuIdx, const Change& change)
{
    QMutexLocker lock(&m_mutex);
    syncWithFile();
    struSimuRecord& rec = recordRef(memuIdx);
    if (change)
        change(rec);
    rec.memuIdx = memuIdx;
    const struSimuRecord stored = rec;
    store(stored);
    return stored;
}

bool SimuStateStore::beginOperation(const QString& memuIdx, const Change& change, quint64 seenOpSeq)
{
    QMutexLocker lock(&m_mutex);
    syncWithFile();
    if (seenOpSeq != kAnyOpSeq && m_opSeq.value(memuIdx) != seenOpSeq)
        return false;
    if (m_owned.value(memuIdx)) {
        qCInfo(lcState).noquote() << QStringLiteral("an operation runs on %1 already").arg(memuIdx);
        return false;
    }
    m_owned.insert(memuIdx, true);
    ++m_opSeq[memuIdx];
    update(memuIdx, change);
    return true;
}

void SimuStateStore::finishOperation(const QString& memuIdx, const Change& outcome)
{
    QMutexLocker lock(&m_mutex);
    if (outcome)
        update(memuIdx, outcome);
    m_owned.remove(memuIdx);
}

bool SimuStateStore::isOwned(const QString& memuIdx)
{
    QMutexLocker lock(&m_mutex);
    return m_owned.value(memuIdx) || isBusyState(record(memuIdx).iState);
}

bool SimuStateStore::updateIfUnowned(const QString& memuIdx, quint64 seenOpSeq, const Change& change)
{
    QMutexLocker lock(&m_mutex);
    if (isOwned(memuIdx) || m_opSeq.value(memuIdx) != seenOpSeq) {
        qCDebug(lcState).noquote()
            << QStringLiteral("finding on %1 dropped: an operation took it").arg(memuIdx);
        return false;
    }
    update(memuIdx, change);
    return true;
}

// ---- lists ----------------------------------------------------------------------------------------

QStringList SimuStateStore::watchList()
{
    QMutexLocker lock(&m_mutex);
    syncWithFile();
    return m_watchList;
}

void SimuStateStore::setWatchList(const QStringList& list)
{
    QMutexLocker lock(&m_mutex);
    syncWithFile();
    QStringList clean = list;
    clean.removeAll(QString());
    if (clean == m_watchList && m_stamp.size >= 0)
        return;
    m_watchList = clean;
    SimuSettings::setDaemonList(clean);
    wrote();
}

void SimuStateStore::addWatched(const QString& memuIdx)
{
    QMutexLocker lock(&m_mutex);
    syncWithFile();
    if (memuIdx.isEmpty() || m_watchList.contains(memuIdx))
        return;
    setWatchList(m_watchList + QStringList{memuIdx});
}

void SimuStateStore::removeWatched(const QString& memuIdx)
{
    QMutexLocker lock(&m_mutex);
    syncWithFile();
    if (!m_watchList.contains(memuIdx))
        return;
    QStringList list = m_watchList;
    list.removeAll(memuIdx);
    setWatchList(list);
}

QStringList SimuStateStore::runningList()
{
    QMutexLocker lock(&m_mutex);
    syncWithFile();
    return m_runningList;
}

void SimuStateStore::setRunningList(const QStringList& list)
{
    QMutexLocker lock(&m_mutex);
    syncWithFile();
    // The pool lists every second: an unchanged list is not written again.
    if (list == m_runningList && m_stamp.size >= 0)
        return;
    m_runningList = list;
    SimuSettings::setRunningList(list);
    wrote();
}

void SimuStateStore::addRunning(const QString& memuIdx)
{
    QMutexLocker lock(&m_mutex);
    syncWithFile();
    if (!m_runningList.contains(memuIdx))
        setRunningList(m_runningList + QStringList{memuIdx});
}

// ---- consoles -------------------------------------------------------------------------------------

void SimuStateStore::noteStateQuery()
{
    QMutexLocker lock(&m_mutex);
    m_lastStateQueryMs = m_clock.elapsed();
}

qint64 SimuStateStore::msSinceStateQuery()
{
    QMutexLocker lock(&m_mutex);
    return m_lastStateQueryMs < 0 ? -1 : m_clock.elapsed() - m_lastStateQueryMs;
}
