// LDPlayer's console tool.
#include "farm.h"
#include "tools.h"

#include <QDir>
#include <QProcess>
#include <QTextCodec>

#include <csignal>

namespace farmsim {

namespace {

constexpr int kQuitWaitMs = 3000;

QString consoleErrorLine(const QString& text)
{
    return kDnConsoleExe + QStringLiteral(": ") + text;
}

int consoleError(const QString& text)
{
    errLine(consoleErrorLine(text));
    return 1;
}

// The instance's position with the farm open for an update, or -1 (the reason printed).
int beginIndexed(Farm& farm, const QString& idx)
{
    return beginInstance(farm, idx, kDnConsoleExe,
                         consoleErrorLine(QStringLiteral("no instance with index %1").arg(idx)));
}

struct DnArgs
{
    QString command;
    QString index;
    QString title; // rename: everything after --title; add: --name
    bool haveIndex = false;
};

DnArgs parseArgs(const QStringList& args)
{
    DnArgs d;
    d.command = args.value(0);
    for (int i = 1; i < args.size(); ++i) {
        if (args.at(i) == "--index" && i + 1 < args.size()) {
            d.index = args.at(++i);
            d.haveIndex = true;
        } else if (args.at(i) == "--title" || args.at(i) == "--name") {
            // The title is taken as it comes, blanks included, up to the end of the line.
            d.title = args.mid(i + 1).join(' ');
            break;
        }
    }
    return d;
}

// Starts the instance process detached from this tool, with its output going nowhere so that a
// caller reading this tool's output is not held open by the instance.
qint64 spawnInstance(const Farm& farm, const QString& idx)
{
    QProcess p;
    p.setProgram(farm.instanceProgramPath());
    p.setArguments(farm.instanceArgs(idx));
    p.setWorkingDirectory(farm.dir());
    p.setStandardInputFile(QProcess::nullDevice());
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    qint64 pid = 0;
    if (!p.startDetached(&pid))
        return 0;
    return pid;
}

int launch(Farm& farm, const QString& idx)
{
    const int i = beginIndexed(farm, idx);
    if (i < 0)
        return 1;
    if (farm.isRunning(i)) {
        farm.rollback();
        return 0;
    }
    const qint64 pid = spawnInstance(farm, idx);
    if (pid <= 0) {
        farm.rollback();
        return consoleError(QStringLiteral("cannot start %1").arg(farm.instanceProgramPath()));
    }
    QJsonObject rec = farm.instance(i);
    rec.insert("pid", pid);
    rec.insert("launchMs", nowMs());
    rec.insert("stop", false);
    farm.setInstance(i, rec);
    return commitFarm(farm, kDnConsoleExe) ? 0 : 1;
}

// Asks the instance process to end and waits for it; true when it is gone.
bool quitInstance(Farm& farm, const QString& idx)
{
    if (!beginFarm(farm, kDnConsoleExe))
        return false;
    const int i = farm.findIndex(idx);
    if (i < 0 || farm.knobBool(i, "unkillable")) {
        farm.rollback();
        return i >= 0 ? false : true;
    }
    const qint64 pid = farm.livePid(i);
    QJsonObject rec = farm.instance(i);
    rec.insert("stop", true);
    farm.setInstance(i, rec);
    if (!commitFarm(farm, kDnConsoleExe))
        return false;
    if (pid > 0) {
        ::kill(static_cast<pid_t>(pid), SIGTERM);
        if (!waitInstanceGone(farm, i, kQuitWaitMs))
            return false;
    }
    return forgetInstancePid(farm, idx, pid, kDnConsoleExe);
}

int quit(Farm& farm, const QString& idx)
{
    QString err;
    if (!farm.read(&err))
        return consoleError(err);
    const int i = farm.findIndex(idx);
    if (i < 0)
        return consoleError(QStringLiteral("no instance with index %1").arg(idx));
    if (!farm.isRunning(i))
        return 0;
    return quitInstance(farm, idx) ? 0 : consoleError(QStringLiteral("instance %1 did not quit").arg(idx));
}

int rename(Farm& farm, const QString& idx, const QString& title)
{
    const int i = beginIndexed(farm, idx);
    if (i < 0)
        return 1;
    QString refusal;
    if (farm.knobBool(i, "renameFails"))
        refusal = QStringLiteral("instance %1 cannot be renamed now").arg(idx);
    else if (title.isEmpty())
        refusal = QStringLiteral("rename needs --title");
    // The listing is comma-separated; a comma in a title would shift every later field.
    else if (title.contains(',') && !farm.knobBool(i, "rawTitles"))
        refusal = QStringLiteral("a title must not contain a comma");
    if (!refusal.isEmpty()) {
        farm.rollback();
        return consoleError(refusal);
    }
    QJsonObject rec = farm.instance(i);
    rec.insert("name", title);
    farm.setInstance(i, rec);
    return commitFarm(farm, kDnConsoleExe) ? 0 : 1;
}

int remove(Farm& farm, const QString& idx)
{
    QString err;
    if (!farm.read(&err))
        return consoleError(err);
    int i = farm.findIndex(idx);
    if (i < 0)
        return consoleError(QStringLiteral("no instance with index %1").arg(idx));
    if (farm.knobBool(i, "deleteLocked"))
        return consoleError(QStringLiteral("instance %1 is locked").arg(idx));
    if (farm.isRunning(i) && !quitInstance(farm, idx))
        return consoleError(QStringLiteral("instance %1 is running and did not quit").arg(idx));
    if (!beginFarm(farm, kDnConsoleExe))
        return 1;
    i = farm.findIndex(idx);
    if (i >= 0)
        farm.removeInstance(i);
    if (!commitFarm(farm, kDnConsoleExe))
        return 1;
    QDir(farm.deviceRoot(idx)).removeRecursively();
    return 0;
}

int add(Farm& farm, const QString& title)
{
    if (!beginFarm(farm, kDnConsoleExe))
        return 1;
    farm.appendInstance(newInstanceRecord(false, nextInstanceNumber(farm), title));
    return commitFarm(farm, kDnConsoleExe) ? 0 : 1;
}

// index,title,top window,bind window,running,pid,vbox pid; "\r\n" line ends; GB18030 text.
int list2(Farm& farm)
{
    QString err;
    if (!farm.read(&err))
        return consoleError(err);
    QString text;
    for (int i = 0; i < farm.count(); ++i) {
        const QJsonObject rec = farm.instance(i);
        const qint64 pid = farm.reportedPid(i);
        const bool running = farm.isRunning(i);
        const qint64 top = running ? 0x10000 + pid * 4 : 0;
        text += QStringLiteral("%1,%2,%3,%4,%5,%6,%7\r\n")
                    .arg(rec.value("index").toString(), rec.value("name").toString())
                    .arg(top)
                    .arg(running ? top + 2 : 0)
                    .arg(running ? 1 : 0)
                    .arg(running ? pid : -1)
                    .arg(running ? pid : -1);
    }
    writeOut(QTextCodec::codecForName("gb18030")->fromUnicode(text));
    return 0;
}

int isRunning(Farm& farm, const QString& idx)
{
    QString err;
    if (!farm.read(&err))
        return consoleError(err);
    const int i = farm.findIndex(idx);
    writeOut(i >= 0 && farm.isRunning(i) ? "running" : "stop");
    return 0;
}

} // namespace

int runDnConsole(const QString& farmDir, const QStringList& args)
{
    Farm farm(farmDir);
    const DnArgs d = parseArgs(args);
    slowTool(farmDir, d.index, 0);
    if (d.command == "list2")
        return list2(farm);
    if (d.command == "add")
        return add(farm, d.title);
    if (!d.haveIndex)
        return consoleError(QStringLiteral("unsupported command: ") + args.join(' '));
    if (d.command == "launch")
        return launch(farm, d.index);
    if (d.command == "quit")
        return quit(farm, d.index);
    if (d.command == "rename")
        return rename(farm, d.index, d.title);
    if (d.command == "remove")
        return remove(farm, d.index);
    if (d.command == "isrunning")
        return isRunning(farm, d.index);
    return consoleError(QStringLiteral("unsupported command: ") + args.join(' '));
}

} // namespace farmsim
