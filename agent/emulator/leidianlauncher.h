#pragma once

#include "ldlisting.h"
#include "simulatorabslauncher.h"

#include <QVector>

// LDPlayer: every operation goes through the console tool "dnconsole.exe" of the install folder.
// Its listing "list2" has one comma-separated line per instance: 0 index, 1 title, 4 running flag
// ("1" when running), 5 process id; it is read strictly (LdListing). Titles with commas or control
// characters are refused before the tool sees them.
class LeiDianLauncher : public SimulatorAbsLauncher
{
public:
    explicit LeiDianLauncher(const QString& memuIdx);

    CCommResult LaunchSimu(QProcess* process) override;
    CCommResult ShutdownSimu() override;
    CCommResult CheckTitle(const QString& title) override;
    CCommResult DoRenameSimu(const QString& name) override;
    CCommResult DoDeleteSimu(SimuInfo info) override;
    CCommResult CreateSimu(SimuInfo info) override;
    CCommResult GetRunningSimus(QStringList& memuIdxs) override;
    CCommResult CheckSimuPath(const QString& dir) override;
    int GetSimuRunState(SimuInfo info, int& pid) override;
    // The instance lines of the listing that count.
    virtual CCommResult ListSimusByConsole(QVector<struLdListEntry>& entries);
    QString InstanceImageName() const override;
    bool OwnsInstanceProcess(qint64 pid) override;

protected:
    // The instance's own pid from the listing (the launch command itself exits at once).
    qint64 StartedSimuPid() override;

private:
    CCommResult runConsole(const QStringList& args);
    static QString consolePath(const QString& dir);
};
