#pragma once

#include "settingvalue.h"

// The agent's settings in "simusInfo.ini", with their types and defaults. The instance records and
// the watch and running lists are kept by SimuStateStore.
namespace AgentSettings {

inline const SettingValue<QString> dir{"common/dir", QString()};            // the product's install folder
inline const SettingValue<QString> memuDir{"common/XiaoYaoDir", QString()}; // remembered per product
inline const SettingValue<QString> ldPlayerDir{"common/LeiDianDir", QString()};
inline const SettingValue<QString> pcName{"common/pcName", QString()};
inline const SettingValue<QString> pcNickName{"common/pcNickName", QString()};
inline const SettingValue<int> simuType{"common/simuType", 0}; // eSimuProduct
inline const SettingValue<int> runLimit{"common/runLimit", 3};
inline const SettingValue<int> checkTimeSpan{"common/checkTimeSpan", 10};    // s between watchdog passes
inline const SettingValue<int> startupTimeout{"common/startupTimeout", 120}; // polls of a start's waits
inline const SettingValue<int> screenshotTimeSpan{"common/screenshotTimeSpan", 1000}; // ms
inline const SettingValue<int> daemonModel{"common/daemonModel", 100};                // eDaemonModel
inline const SettingValue<bool> isDefAutoLogin{"common/IsDefAutoLogin", true};
// How many instances of one start command may boot at the same time (1: one after another).
inline const SettingValue<int> parallelStarts{"common/parallelStarts", 1};

constexpr int kMaxParallelStarts = 10;

// The remembered folder of a product type; empty (and nothing written) for any other type.
QString productDir(int simuType);
void setProductDir(int simuType, const QString& folder);
// Daemon mode is on unless the mode was saved as 0 (the never-saved 100 counts as on).
bool daemonOn();
// parallelStarts within 1 and the run limit (and kMaxParallelStarts).
int effectiveParallelStarts();

} // namespace AgentSettings
