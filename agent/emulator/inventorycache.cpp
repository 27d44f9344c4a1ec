#include "inventorycache.h"

#include "agentlogging.h"
#include "agentsettings.h"
#include "simuinfoxmlgainer.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

InventoryCache& InventoryCache::instance()
{
    static InventoryCache s_cache;
    return s_cache;
}

InventoryCache::InventoryCache()
{
    m_readers.setMaxThreadCount(1);
    m_age.start();
}

InventoryCache::~InventoryCache()
{
    m_readers.clear();
    m_readers.waitForDone();
}

QString InventoryCache::configuredKey()
{
    return QStringLiteral("%1|%2|%3")
        .arg(AgentSettings::simuType)
        .arg(AgentSettings::dir, SimuSettings::dataDir());
}

QVector<SimuInfo> InventoryCache::current(int maxAgeMs)
{
    const QString key = configuredKey();
    QMutexLocker lock(&m_mutex);
    if (key != m_key) {
        m_key = key;
        m_valid = false;
        m_waited = false;
        m_infos.clear();
    }
    if ((!m_valid || m_age.elapsed() > maxAgeMs) && !m_reading)
        startRead();
    if (!m_valid && !m_waited) {
        m_waited = true; // one wait per read: readers meanwhile take what is known
        const QDeadlineTimer deadline(kFirstReadWaitMs);
        while (!m_valid && m_reading && m_readDone.wait(&m_mutex, deadline)) {
        }
        if (!m_valid)
            qCDebug(lcEmulator) << "inventory not read yet: answering with what is known";
    }
    return m_infos;
}

bool InventoryCache::find(const QString& memuIdx, SimuInfo& info, int maxAgeMs)
{
    for (const SimuInfo& one : current(maxAgeMs)) {
        if (one.idx() == memuIdx) {
            info = one;
            return true;
        }
    }
    return false;
}

void InventoryCache::publish(const QString& key, const QVector<SimuInfo>& infos)
{
    if (key != configuredKey())
        return; // read for a product or folder no longer configured
    QMutexLocker lock(&m_mutex);
    m_key = key;
    m_infos = infos;
    m_valid = true;
    m_age.restart();
    m_readDone.wakeAll();
}

void InventoryCache::invalidate()
{
    QMutexLocker lock(&m_mutex);
    m_valid = false;
    m_waited = false;
}

// Called with the mutex held.
void InventoryCache::startRead()
{
    m_reading = true;
    m_readers.start([this] {
        // readInventory publishes what it read.
        SimuInfoXmlGainer::readInventory("InventoryCache");
        QMutexLocker lock(&m_mutex);
        m_reading = false;
        m_readDone.wakeAll();
    });
}
