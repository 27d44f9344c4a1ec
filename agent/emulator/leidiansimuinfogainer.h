#pragma once

#include "csimulatorinfoabsgainer.h"

#include <QString>

// LDPlayer reader: asks the console tool "dnconsole.exe list2" for its listing, one instance per
// line with comma-separated fields (0 index, 1 title, ...), read strictly (LdListing). The adb port
// follows from the index.
class LeiDianSimuInfoGainer : public CSimulatorInfoAbsGainer
{
public:
    CCommResult GetSimusInfo(QVector<SimuInfo>& infos) override;
    // Leaves `info` as it was when the listing has no such index (still code 0).
    CCommResult GetSimuInfo(const QString& memuIdx, SimuInfo& info) override;

    // 5555 + 2 x index.
    static int adbPortOfIndex(const QString& memuIdx);
};
