#pragma once

#include "csimulatorinfoabsgainer.h"

#include <memory>

// The inventory as callers use it: every call reads common/simuType, makes the reader of that
// product (1 MEmu, 2 LDPlayer), forwards the call and drops the reader. Any other product type
// gives code 0 and fills nothing.
class SimuInfoXmlGainer : public CSimulatorInfoAbsGainer
{
public:
    CCommResult GetSimusInfo(QVector<SimuInfo>& infos) override;
    // The inventory of the configured product; a failed read is logged (naming the reader) and still
    // gives what was read.
    static QVector<SimuInfo> readInventory(const char* reader);
    CCommResult GetSimusInfoArray(SimuInfo* pBuf, int capacity = kMaxSimuCount) override;
    CCommResult GetSimuInfo(const QString& memuIdx, SimuInfo& info) override;

    // The reader of a product type, or null for an unknown type.
    static std::unique_ptr<CSimulatorInfoAbsGainer> CreateGainer(int simuType);

private:
    static std::unique_ptr<CSimulatorInfoAbsGainer> configuredGainer();
};
