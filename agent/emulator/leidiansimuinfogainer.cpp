#include "leidiansimuinfogainer.h"

#include "ldlisting.h"
#include "simusettings.h"

CCommResult LeiDianSimuInfoGainer::GetSimusInfo(QVector<SimuInfo>& infos)
{
    infos.clear();
    const CCommResult dir = SimuSettings::getDir();
    const LdListing::struParsed listing = LdListing::run(dir.str);
    for (int i = 0; i < listing.entries.size() && i < kMaxSimuCount; ++i) {
        const struLdListEntry& entry = listing.entries.at(i);
        SimuInfo info;
        info.setIdx(entry.idx);
        info.setName(entry.title);
        info.setAdbPort(adbPortOfIndex(entry.idx));
        infos.append(info);
    }
    CCommResult r;
    r.iRet = dir.iRet;
    return r;
}

CCommResult LeiDianSimuInfoGainer::GetSimuInfo(const QString& memuIdx, SimuInfo& info)
{
    QVector<SimuInfo> infos;
    const CCommResult r = GetSimusInfo(infos);
    if (r.iRet != 0)
        return r;
    for (const SimuInfo& one : qAsConst(infos)) {
        if (one.idx() == memuIdx) {
            info = one;
            break;
        }
    }
    return r;
}

int LeiDianSimuInfoGainer::adbPortOfIndex(const QString& memuIdx)
{
    return memuIdx.toInt(nullptr, 10) * 2 + 5555;
}
