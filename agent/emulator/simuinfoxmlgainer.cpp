#include "simuinfoxmlgainer.h"

#include "agentlogging.h"
#include "agentsettings.h"
#include "inventorycache.h"
#include "leidiansimuinfogainer.h"
#include "xiaoyaosimuinfogainer.h"

QVector<SimuInfo> SimuInfoXmlGainer::readInventory(const char* reader)
{
    const QString key = InventoryCache::configuredKey();
    QVector<SimuInfo> infos;
    const CCommResult r = SimuInfoXmlGainer().GetSimusInfo(infos);
    if (r.iRet != 0)
        qCWarning(lcEmulator).noquote() << reader << "inventory read:" << r.iRet << r.str << r.log;
    // A failed read still gives what was read.
    InventoryCache::instance().publish(key, infos);
    return infos;
}

std::unique_ptr<CSimulatorInfoAbsGainer> SimuInfoXmlGainer::CreateGainer(int simuType)
{
    switch (simuType) {
    case eProductMEmu:
        return std::make_unique<XiaoYaoSimuInfoGainer>();
    case eProductLdPlayer:
        return std::make_unique<LeiDianSimuInfoGainer>();
    default:
        return nullptr;
    }
}

std::unique_ptr<CSimulatorInfoAbsGainer> SimuInfoXmlGainer::configuredGainer()
{
    return CreateGainer(AgentSettings::simuType);
}

CCommResult SimuInfoXmlGainer::GetSimusInfo(QVector<SimuInfo>& infos)
{
    const auto gainer = configuredGainer();
    if (!gainer) {
        infos.clear();
        return CCommResult();
    }
    return gainer->GetSimusInfo(infos);
}

CCommResult SimuInfoXmlGainer::GetSimusInfoArray(SimuInfo* pBuf, int capacity)
{
    const auto gainer = configuredGainer();
    if (!gainer)
        return CCommResult();
    return gainer->GetSimusInfoArray(pBuf, capacity);
}

CCommResult SimuInfoXmlGainer::GetSimuInfo(const QString& memuIdx, SimuInfo& info)
{
    const auto gainer = configuredGainer();
    if (!gainer)
        return CCommResult();
    return gainer->GetSimuInfo(memuIdx, info);
}
