#include "sentoperledger.h"

#include <QDateTime>
#include <QDebug>

QString SentOperLedger::keyOf(const QString& pcName, const QString& memuIdx, int iOperType)
{
    return pcName + QLatin1Char('\n') + memuIdx + QLatin1Char('\n') + QString::number(iOperType);
}

void SentOperLedger::expire(qint64 nowSecs)
{
    if (m_count <= kMaxEntries && nowSecs - m_lastSweep < 60)
        return;
    m_lastSweep = nowSecs;
    // Beyond the bound the oldest go first: the cut-off age is lowered until few enough are left.
    qint64 maxAge = kMaxAgeSecs;
    const int before = m_count;
    do {
        m_count = 0;
        for (auto it = m_byKey.begin(); it != m_byKey.end();) {
            QList<Entry>& list = it.value();
            while (!list.isEmpty() && nowSecs - list.first().addedAt > maxAge)
                list.removeFirst();
            m_count += list.size();
            it = list.isEmpty() ? m_byKey.erase(it) : std::next(it);
        }
        maxAge /= 2;
    } while (m_count > kMaxEntries && maxAge > 0);
    if (m_count > kMaxEntries) {
        m_byKey.clear();
        m_count = 0;
    }
    if (before != m_count)
        qWarning().noquote() << before - m_count << "expected results forgotten (too old or too many)";
}

void SentOperLedger::add(const QString& pcName, int iOperType, const QStringList& memuIdxs, int iTime)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QMutexLocker lock(&m_lock);
    for (const QString& idx : memuIdxs)
        m_byKey[keyOf(pcName, idx, iOperType)].append(Entry{iTime, now});
    m_count += memuIdxs.size();
    expire(now);
}

void SentOperLedger::remove(const QString& pcName, int iOperType, const QStringList& memuIdxs, int iTime)
{
    QMutexLocker lock(&m_lock);
    for (const QString& idx : memuIdxs) {
        auto it = m_byKey.find(keyOf(pcName, idx, iOperType));
        if (it == m_byKey.end())
            continue;
        for (int i = it->size() - 1; i >= 0; --i) {
            if (it->at(i).iTime == iTime) {
                it->removeAt(i);
                --m_count;
                break;
            }
        }
        if (it->isEmpty())
            m_byKey.erase(it);
    }
}

bool SentOperLedger::take(const QString& pcName, const QString& memuIdx, int iOperType, int iReportTime)
{
    QMutexLocker lock(&m_lock);
    auto it = m_byKey.find(keyOf(pcName, memuIdx, iOperType));
    if (it == m_byKey.end())
        return false;
    for (int i = 0; i < it->size(); ++i) {
        const int t = it->at(i).iTime;
        if (iReportTime >= t && iReportTime <= t + kReportTimeSlack) {
            it->removeAt(i);
            --m_count;
            if (it->isEmpty())
                m_byKey.erase(it);
            return true;
        }
    }
    return false;
}

int SentOperLedger::size() const
{
    QMutexLocker lock(&m_lock);
    return m_count;
}
