#pragma once

#include "simulatorabslauncher.h"

// LDPlayer: every operation goes through the console tool "dnconsole.exe" of the install folder.
// Its listing "list2" has one comma-separated line per instance: 0 index, 1 title, 4 running flag
// ("1" when running), 5 process id.
class LeiDianLauncher : public SimulatorAbsLauncher
{
public:
    explicit LeiDianLauncher(const QString& memuIdx);

    CCommResult LaunchSimu(QProcess* process) override;
    CCommResult ShutdownSimu() override;
    CCommResult DoRenameSimu(const QString& name) override;
    CCommResult DoDeleteSimu(SimuInfo info) override;
    CCommResult CreateSimu(SimuInfo info) override;
    CCommResult GetRunningSimus(QStringList& memuIdxs) override;
    CCommResult CheckSimuPath(const QString& dir) override;
    int GetSimuRunState(SimuInfo info, int& pid) override;
    // The listing, one text per non-empty line.
    virtual CCommResult ListSimusByConsole(QStringList& lines);

protected:
    // The instance's own pid from the listing (the launch command itself exits at once).
    qint64 StartedSimuPid() override;

private:
    CCommResult runConsole(const QStringList& args);
    static QString consolePath(const QString& dir);
};
