#pragma once

#include "commresult.h"
#include "simuinfo.h"

#include <QVector>

// Reader of the emulator instances of one product: which instances exist and how to reach each of
// them over adb. Readers hold no state; every call reads the product's files or runs its tool anew.
class CSimulatorInfoAbsGainer
{
public:
    virtual ~CSimulatorInfoAbsGainer() = default;

    // Empties `infos`, then appends at most kMaxSimuCount entries in the product's order.
    virtual CCommResult GetSimusInfo(QVector<SimuInfo>& infos) = 0;
    // Copies the list into the caller's buffer (room for `capacity` entries, 164 bytes each); the
    // number of entries is returned in iExtraRet.
    virtual CCommResult GetSimusInfoArray(SimuInfo* pBuf, int capacity = kMaxSimuCount);
    // Fills `info` for one index.
    virtual CCommResult GetSimuInfo(const QString& memuIdx, SimuInfo& info) = 0;
};
