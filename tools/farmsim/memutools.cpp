// MEmu's manager and instance console, and its machine description files.
#include "farm.h"
#include "tools.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <csignal>

namespace farmsim {

namespace {

const QString kManagerName = QStringLiteral("MEmuManage.exe");
const QByteArray kProgress = "0%...10%...20%...30%...40%...50%...60%...70%...80%...90%...100%\r\n";
constexpr int kPowerOffWaitMs = 3000;

QString managerErrorLine(const QString& text)
{
    return kManagerName + QStringLiteral(": error: ") + text;
}

int managerError(const QString& text)
{
    errLine(managerErrorLine(text));
    return 1;
}

// The machine's position with the farm open for an update, or -1 (the reason printed).
int beginMachine(Farm& farm, const QString& idx)
{
    return beginInstance(
        farm, idx, kManagerName,
        managerErrorLine(QStringLiteral("Could not find a registered machine named '%1'").arg(idx)));
}

// Marks the instance stopped, asks its process to end, and waits for it.
int powerOff(Farm& farm, const QString& idx)
{
    const int i = beginMachine(farm, idx);
    if (i < 0)
        return 1;
    if (!farm.isRunning(i)) {
        farm.rollback();
        return managerError(QStringLiteral("Machine '%1' is not currently running").arg(idx));
    }
    if (farm.knobBool(i, "unkillable")) {
        farm.rollback();
        writeErr(kProgress);
        return 0;
    }
    QJsonObject rec = farm.instance(i);
    const qint64 pid = farm.livePid(i);
    rec.insert("stop", true);
    farm.setInstance(i, rec);
    if (!commitFarm(farm, kManagerName))
        return 1;
    ::kill(static_cast<pid_t>(pid), SIGTERM);
    if (!waitInstanceGone(farm, i, kPowerOffWaitMs))
        return managerError(QStringLiteral("Machine '%1' did not power off in time").arg(idx));
    forgetInstancePid(farm, idx, pid, kManagerName);
    writeErr(kProgress);
    return 0;
}

int unregister(Farm& farm, const QString& idx)
{
    const int i = beginMachine(farm, idx);
    if (i < 0)
        return 1;
    if (farm.knobBool(i, "deleteLocked") || farm.isRunning(i)) {
        farm.rollback();
        managerError(QStringLiteral("Cannot unregister the machine '%1' while it is locked").arg(idx));
        return managerError(QStringLiteral("Details: code VBOX_E_INVALID_OBJECT_STATE (0x80bb0007), "
                                           "component MachineWrap, interface IMachine"));
    }
    farm.removeInstance(i);
    if (!commitFarm(farm, kManagerName))
        return 1;
    QDir(farm.dir() + '/' + kMEmuVmDir + '/' + idx).removeRecursively();
    QDir(farm.deviceRoot(idx)).removeRecursively();
    writeErr(kProgress);
    return 0;
}

int listVms(Farm& farm, bool runningOnly)
{
    QString err;
    if (!farm.read(&err))
        return managerError(err);
    QByteArray out;
    for (int i = 0; i < farm.count(); ++i) {
        if (runningOnly && !farm.isRunning(i))
            continue;
        const QJsonObject rec = farm.instance(i);
        out += QStringLiteral("\"%1\" %2\r\n")
                   .arg(rec.value("index").toString(), rec.value("uuid").toString())
                   .toUtf8();
    }
    writeOut(out);
    return 0;
}

QString unquote(QString s)
{
    if (s.size() >= 2 && s.startsWith('"') && s.endsWith('"'))
        s = s.mid(1, s.size() - 2);
    return s;
}

// Without arguments the instance console stays open, as the product's window does, until it is
// killed or its farm disappears.
int stayOpen(const QString& farmDir)
{
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [farmDir] {
        if (!QFileInfo::exists(farmDir + '/' + kStateFile))
            QCoreApplication::quit();
    });
    timer.start(500);
    return QCoreApplication::exec();
}

int createInstance(Farm& farm)
{
    if (!beginFarm(farm, kMemuConsoleExe))
        return 1;
    const QJsonObject rec = newInstanceRecord(true, nextInstanceNumber(farm));
    QString err;
    if (!writeMemuFile(farm.dir(), rec, &err)) {
        farm.rollback();
        errLine(kMemuConsoleExe + QStringLiteral(": ") + err);
        return 1;
    }
    farm.appendInstance(rec);
    if (!commitFarm(farm, kMemuConsoleExe))
        return 1;
    outLine(rec.value("index").toString());
    return 0;
}

} // namespace

bool writeMemuFile(const QString& installDir, const QJsonObject& rec, QString* pErr)
{
    const QString idx = rec.value("index").toString();
    const QString folder = installDir + '/' + kMEmuVmDir + '/' + idx;
    if (!QDir().mkpath(folder)) {
        *pErr = QStringLiteral("cannot create %1").arg(folder);
        return false;
    }
    const QString xml =
        QStringLiteral(
            "<?xml version=\"1.0\"?>\n"
            "<MemuHyperv xmlns=\"http://www.memuhyperv.org/\" version=\"1.12-windows\">\n"
            "  <Machine uuid=\"%1\" name=\"%2\" OSType=\"Linux26_64\">\n"
            "    <Hardware version=\"2\">\n"
            "      <CPU count=\"2\"/>\n"
            "      <Memory RAMSize=\"2048\"/>\n"
            "      <Network>\n"
            "        <Adapter slot=\"0\" enabled=\"true\" type=\"82540EM\">\n"
            "          <NAT>\n"
            "            <Forwarding name=\"ADB\" proto=\"1\" hostip=\"127.0.0.1\" hostport=\"%3\" "
            "guestport=\"5555\"/>\n"
            "          </NAT>\n"
            "        </Adapter>\n"
            "      </Network>\n"
            "      <GuestProperties>\n"
            "        <GuestProperty name=\"name_tag\" value=\"%4\" timestamp=\"0\" flags=\"\"/>\n"
            "      </GuestProperties>\n"
            "    </Hardware>\n"
            "  </Machine>\n"
            "</MemuHyperv>\n")
            .arg(rec.value("uuid").toString().toHtmlEscaped(), idx.toHtmlEscaped())
            .arg(rec.value("port").toInt())
            .arg(rec.value("name").toString().toHtmlEscaped());
    QFile f(folder + '/' + idx + QStringLiteral(".memu"));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(xml.toUtf8()) < 0) {
        *pErr = QStringLiteral("cannot write %1").arg(f.fileName());
        return false;
    }
    return true;
}

int runMEmuManage(const QString& farmDir, const QStringList& rawArgs)
{
    QStringList args;
    for (const QString& a : rawArgs)
        args << unquote(a);
    const bool aboutOne = args.value(0) == "controlvm" || args.value(0) == "unregistervm";
    slowTool(farmDir, aboutOne ? args.value(1) : QString(), 0);
    Farm farm(farmDir);
    if (args.size() >= 3 && args.at(0) == "controlvm" && args.at(2) == "poweroff")
        return powerOff(farm, args.at(1));
    if (args.size() >= 2 && args.at(0) == "unregistervm")
        return unregister(farm, args.at(1));
    if (args.size() == 2 && args.at(0) == "list" && (args.at(1) == "runningvms" || args.at(1) == "vms")) {
        slowListing(farmDir);
        return listVms(farm, args.at(1) == "runningvms");
    }
    return managerError(QStringLiteral("unsupported command: %1").arg(rawArgs.join(' ')));
}

int runMemuConsole(const QString& farmDir, const QStringList& args)
{
    Farm farm(farmDir);
    if (args.isEmpty())
        return stayOpen(farmDir);
    slowTool(farmDir, QString(), 0);
    if (args.size() == 1 && args.at(0) == "create")
        return createInstance(farm);
    errLine(kMemuConsoleExe + QStringLiteral(": unsupported command: ") + args.join(' '));
    return 1;
}

} // namespace farmsim
