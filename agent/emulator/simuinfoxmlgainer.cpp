#include "simuinfoxmlgainer.h"

#include "leidiansimuinfogainer.h"
#include "simusettings.h"
#include "xiaoyaosimuinfogainer.h"

std::unique_ptr<CSimulatorInfoAbsGainer> SimuInfoXmlGainer::CreateGainer(int simuType)
{
    switch (simuType) {
    case 1:
        return std::make_unique<XiaoYaoSimuInfoGainer>();
    case 2:
        return std::make_unique<LeiDianSimuInfoGainer>();
    default:
        return nullptr;
    }
}

std::unique_ptr<CSimulatorInfoAbsGainer> SimuInfoXmlGainer::configuredGainer()
{
    return CreateGainer(SimuSettings::getSimuType().iExtraRet);
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
