#pragma once

#include "csimulatorinfoabsgainer.h"

#include <QStringList>

// LDPlayer reader: asks the console tool "dnconsole.exe list2" for its listing, one instance per
// line with comma-separated fields (0 index, 1 title, ...). The adb port follows from the index.
class LeiDianSimuInfoGainer : public CSimulatorInfoAbsGainer
{
public:
    CCommResult GetSimusInfo(QVector<SimuInfo>& infos) override;
    // Leaves `info` as it was when the listing has no such index (still code 0).
    CCommResult GetSimuInfo(const QString& memuIdx, SimuInfo& info) override;

    // Runs "<dir>/dnconsole.exe list2" and returns its output (gb18030) split into non-empty lines.
    // A missing tool gives no lines.
    static QStringList RunList2(const QString& dir);
    // 5555 + 2 x index.
    static int adbPortOfIndex(const QString& memuIdx);
};
