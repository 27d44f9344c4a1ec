#include "inventoryscanobj.h"

#include "installrspsormgr.h"
#include "launcherfactory.h"
#include "simudaemonobj.h"
#include "simuinfoxmlgainer.h"
#include "simusettings.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>

InventoryScanObj::InventoryScanObj(QObject* parent) : QObject(parent) {}

void InventoryScanObj::slScan(int iScanId)
{
    QElapsedTimer clock;
    clock.start();
    qWarning().noquote() << "initIniData begin:" << QDateTime::currentMSecsSinceEpoch();
    QDir(SimuSettings::screenshotDir()).removeRecursively();
    QDir().mkpath(SimuSettings::screenshotDir());
    // Commands run only after the first scan: an APK on disk now was left by an agent that died.
    if (!hasScanned())
        InstallRspsorMgr::RemoveReceivedApk();

    const QVector<SimuInfo> inventory = SimuInfoXmlGainer::readInventory("initIniData");
    QStringList running;
    SimuListRunning(running);
    const int daemonModel = SimuSettings::getDaemonModel().iExtraRet;
    for (const SimuInfo& info : inventory)
        storeInstance(info.idx(), info.name(), running.contains(info.idx()), daemonModel);
    qWarning().noquote() << "initIniData end:" << QDateTime::currentMSecsSinceEpoch() << "took"
                         << clock.elapsed() << "ms for" << inventory.size() << "instances";
    m_scanned.storeRelease(1);
    emit sigScanned(iScanId);
}

void InventoryScanObj::storeInstance(const QString& idx, const QString& name, bool isRunning, int daemonModel)
{
    if (hasScanned() && operationUnderWay(idx)) {
        // Commands run only after the first scan; a later one leaves an instance under an
        // operation to that operation's outcome.
        SimuSettings::updateSimuRecord(idx, [&](struSimuRecord& rec) { rec.simuName = name; });
        return;
    }
    if (isRunning && daemonModel == eDaemonOn) {
        SimuSettings::addDaemon(idx);
        SimuSettings::addRunningList(idx);
        emit sigLogOper(SimuDaemonObj::msgNewInstance(name) + QStringLiteral("，已纳入守护"));
    } else if (isRunning) {
        emit sigLogOper(SimuDaemonObj::msgNewInstance(name));
    }
    SimuSettings::updateSimuRecord(idx, [&](struSimuRecord& rec) {
        rec.simuName = name;
        rec.iTime = -1;
        rec.iState = isRunning ? eStateRunning : eStateNotStarted;
    });
}

bool InventoryScanObj::operationUnderWay(const QString& memuIdx)
{
    return SimuDaemonObj::isOperationUnderWay(SimuSettings::storedSimuRecord(memuIdx).iState);
}
