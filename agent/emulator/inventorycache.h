#pragma once

#include "simuinfo.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QString>
#include <QThreadPool>
#include <QVector>
#include <QWaitCondition>

// The inventory as last read, for readers that must answer at once (discovery answers every second;
// for LDPlayer a read runs the product's tool, which may take seconds). Every full read of the
// inventory (SimuInfoXmlGainer::readInventory: the watchdog's passes, the scan, commands) is kept
// here; a reader that finds it older than it wants has it read again on a thread of the cache's
// own and takes what is there meanwhile. Only a reader that finds nothing for the configured
// product and folder yet, or finds it invalidated by a change of the inventory, waits for the read,
// and never longer than kFirstReadWaitMs; once one reader waited, the others take what is known.
class InventoryCache
{
public:
    static constexpr int kFirstReadWaitMs = 2000;
    static constexpr int kDefaultMaxAgeMs = 5000;

    static InventoryCache& instance();

    QVector<SimuInfo> current(int maxAgeMs = kDefaultMaxAgeMs);
    // The entry of an index; false when the inventory holds none.
    bool find(const QString& memuIdx, SimuInfo& info, int maxAgeMs = kDefaultMaxAgeMs);
    // A full read made elsewhere, of the product and folder configured when it began (`key`).
    void publish(const QString& key, const QVector<SimuInfo>& infos);
    // The inventory changed (an instance was created, deleted or renamed): the next reader waits
    // for a new read.
    void invalidate();
    // The configured product, folder and data directory, which a read belongs to.
    static QString configuredKey();

private:
    InventoryCache();
    ~InventoryCache();
    void startRead();

    QMutex m_mutex;
    QWaitCondition m_readDone;
    QString m_key;
    QVector<SimuInfo> m_infos;
    bool m_valid = false;
    bool m_reading = false;
    bool m_waited = false; // a reader waited for the read under way
    QElapsedTimer m_age;
    QThreadPool m_readers;
};
