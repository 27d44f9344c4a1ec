#pragma once

#include "csimulatorinfoabsgainer.h"

class QDomElement;

// MEmu reader: the install folder holds "MemuHyperv VMs/<index>/<index>.memu", one machine
// description file (XML) per instance.
class XiaoYaoSimuInfoGainer : public CSimulatorInfoAbsGainer
{
public:
    CCommResult GetSimusInfo(QVector<SimuInfo>& infos) override;
    CCommResult GetSimuInfo(const QString& memuIdx, SimuInfo& info) override;
    // Reads one description file into `info` (zeroed first).
    virtual CCommResult ParseMemuFile(const QString& path, SimuInfo& info);

    // "逍遥模拟器" in place of "MEmu_" (or of "MEmu" when there is no "MEmu_").
    static QString derivedName(const QString& baseName);

private:
    static int adbHostPort(const QDomElement& hardware);
};
