#pragma once

#include "resultcodes.h"
#include "simulatorabslauncher.h"

#include <memory>

// Code and texts of the factory's failure.
constexpr int kNoLauncherCode = ResultCode::kNoLauncher;

// The launcher of a product type (1 MEmu, 2 LDPlayer) for one index; 62 "启动器没有对象" for any
// other type. The second form takes the type from common/simuType.
CCommResult CreateLauncher(int simuType, const QString& memuIdx,
                           std::unique_ptr<SimulatorAbsLauncher>& launcher);
CCommResult CreateLauncher(const QString& memuIdx, std::unique_ptr<SimulatorAbsLauncher>& launcher);

// Entry points: make the launcher of common/simuType, call one operation, drop the launcher.
CCommResult SimuStartup(const QString& memuIdx, QProcess* process);
CCommResult SimuClose(const QString& memuIdx, int pid);
CCommResult SimuShutdown(const QString& memuIdx);
CCommResult SimuInstallApk(const QString& memuIdx, int adbPort, const QString& apkPath);
CCommResult SimuListRunning(QStringList& memuIdxs);
CCommResult SimuCreate(const SimuInfo& info);
CCommResult SimuDelete(const SimuInfo& info);
CCommResult SimuRename(const QString& memuIdx, const QString& name);
// True when pid is a process of the configured product's instance program that may belong to
// memuIdx (the only processes the agent kills for an instance).
bool SimuOwnsProcess(const QString& memuIdx, qint64 pid);
// The run state (eSimuRunState), or kNoLauncherCode when no product is configured.
int SimuRunState(const SimuInfo& info, int& pid);
