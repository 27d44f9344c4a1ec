#include "csimulatorinfoabsgainer.h"

#include <cstring>

CCommResult CSimulatorInfoAbsGainer::GetSimusInfoArray(SimuInfo* pBuf, int capacity)
{
    QVector<SimuInfo> infos;
    CCommResult r = GetSimusInfo(infos);
    if (r.iRet != 0)
        return r;
    const int count = qMax(0, qMin(infos.size(), capacity));
    if (count > 0 && pBuf)
        std::memcpy(static_cast<void*>(pBuf), infos.constData(), size_t(count) * sizeof(SimuInfo));
    r.iExtraRet = pBuf ? count : 0;
    return r;
}
