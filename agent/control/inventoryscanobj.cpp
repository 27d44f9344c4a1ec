#include "inventoryscanobj.h"

#include "agentlogging.h"
#include "agentsettings.h"
#include "installrspsormgr.h"
#include "launcherfactory.h"
#include "simudaemonobj.h"
#include "simuinfoxmlgainer.h"
#include "simusettings.h"
#include "shotthumbcache.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QHash>

InventoryScanObj::InventoryScanObj(QObject* parent) : QObject(parent) {}

void InventoryScanObj::slScan(int iScanId)
{
    QElapsedTimer clock;
    clock.start();
    qCInfo(lcControl).noquote() << "initIniData begin:" << QDateTime::currentMSecsSinceEpoch();
    QDir(SimuSettings::screenshotDir()).removeRecursively();
    QDir().mkpath(SimuSettings::screenshotDir());
    ShotThumbCache::instance().clear();
    // Commands run only after the first scan: an APK on disk now was left by an agent that died.
    if (!hasScanned())
        InstallRspsorMgr::RemoveReceivedApk();

    const QVector<SimuInfo> inventory = SimuInfoXmlGainer::readInventory("initIniData");
    // What each instance showed before the running list was read: an operation that begins while
    // the product's tool lists keeps its instance.
    QHash<QString, quint64> seen;
    for (const SimuInfo& info : inventory)
        seen.insert(info.idx(), SimuStateStore::instance().entry(info.idx()).opSeq);
    QStringList running;
    SimuListRunning(running);
    const bool daemonOn = AgentSettings::daemonModel == eDaemonOn;
    for (const SimuInfo& info : inventory)
        storeInstance(info.idx(), info.name(), running.contains(info.idx()), daemonOn,
                      seen.value(info.idx()));
    qCInfo(lcControl).noquote() << "initIniData end:" << QDateTime::currentMSecsSinceEpoch() << "took"
                                << clock.elapsed() << "ms for" << inventory.size() << "instances";
    m_scanned.storeRelease(1);
    emit sigScanned(iScanId);
}

void InventoryScanObj::storeInstance(const QString& idx, const QString& name, bool isRunning, bool daemonOn,
                                     quint64 seenOpSeq)
{
    SimuStateStore& store = SimuStateStore::instance();
    const auto scanned = [&](struSimuRecord& rec) {
        rec.simuName = name;
        rec.iTime = -1;
        rec.iState = isRunning ? eStateRunning : eStateNotStarted;
    };
    // Commands run only after the first scan, which sets every record; a later one leaves an
    // instance under an operation to that operation's outcome.
    if (!hasScanned()) {
        store.update(idx, scanned);
    } else if (!store.updateIfUnowned(idx, seenOpSeq, scanned)) {
        store.update(idx, [&](struSimuRecord& rec) { rec.simuName = name; });
        return;
    }
    if (isRunning && daemonOn) {
        store.addWatched(idx);
        store.addRunning(idx);
        emit sigLogOper(SimuDaemonObj::msgNewInstance(name) + QStringLiteral("，已纳入守护"));
    } else if (isRunning) {
        emit sigLogOper(SimuDaemonObj::msgNewInstance(name));
    }
}
