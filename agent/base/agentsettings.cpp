#include "agentsettings.h"

#include "simurecords.h"

#include <QtGlobal>

namespace AgentSettings {

QString productDir(int simuType)
{
    if (simuType == eProductMEmu)
        return memuDir;
    if (simuType == eProductLdPlayer)
        return ldPlayerDir;
    return QString();
}

void setProductDir(int simuType, const QString& folder)
{
    if (simuType == eProductMEmu)
        memuDir.set(folder);
    else if (simuType == eProductLdPlayer)
        ldPlayerDir.set(folder);
}

bool daemonOn()
{
    return daemonModeOn(daemonModel);
}

int effectiveParallelStarts()
{
    const int limit = qBound(1, runLimit.value(), kMaxParallelStarts);
    return qBound(1, parallelStarts.value(), limit);
}

} // namespace AgentSettings
