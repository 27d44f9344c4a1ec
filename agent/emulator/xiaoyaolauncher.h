#pragma once

#include "simulatorabslauncher.h"

// MEmu: "MEmu.exe <index>" starts an instance, the manager "MEmuHyperv/MEmuManage.exe" (beside the
// install folder) stops, deletes and lists them, "MemuConsole.exe" creates them. An instance's
// window is a top-level window of class "Qt5QWindowIcon" titled with its display name.
class XiaoYaoLauncher : public SimulatorAbsLauncher
{
public:
    explicit XiaoYaoLauncher(const QString& memuIdx);

    CCommResult LaunchSimu(QProcess* process) override;
    CCommResult ShutdownSimu() override;
    CCommResult DoRenameSimu(const QString& name) override;
    CCommResult DoDeleteSimu(SimuInfo info) override;
    CCommResult CreateSimu(SimuInfo info) override;
    CCommResult GetRunningSimus(QStringList& memuIdxs) override;
    CCommResult CheckSimuPath(const QString& dir) override;
    int GetSimuRunState(SimuInfo info, int& pid) override;
    QString InstanceImageName() const override;
    virtual QString GetManageExePath();

    int runningCallCount() const { return m_runningCalls; }
    // The index of one line of "list runningvms" ("\"MEmu_2\" {uuid}" gives MEmu_2); empty unless
    // the line is exactly a quoted well-formed index, a blank and a braced uuid.
    static QString runningVmIndex(const QString& line);

    static constexpr int kShutdownWaitMs = 3000;

private:
    int m_runningCalls = 0;
};
