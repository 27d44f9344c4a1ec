// The farmsim command under its own name: lays out farms, sets knobs, shows the state.
#include "farm.h"
#include "farmknobs.h"
#include "tools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QUuid>

#include <csignal>
#include <unistd.h>

namespace farmsim {

namespace {

constexpr int kMaxInstances = 100;
constexpr int kMEmuFirstPort = 21503;
constexpr int kLdFirstPort = 5555;

QString usage()
{
    return QStringLiteral(
               "farmsim: simulated emulator farm.\n"
               "\n"
               "Under the name of a tool it behaves as that tool:\n"
               "  MEmu.exe <idx>                      the instance process (runs until powered off or "
               "killed)\n"
               "  MEmuManage.exe controlvm \"<idx>\" poweroff | unregistervm \"<idx>\" --delete\n"
               "                 | list runningvms | list vms\n"
               "  MemuConsole.exe [create]            stays open / adds the next MEmu_N instance\n"
               "  dnconsole.exe launch|quit|remove --index N | rename --index N --title T\n"
               "                | add [--name T] | list2\n"
               "  dnplayer.exe index=N                the LDPlayer instance process\n"
               "  adb.exe start-server | kill-server | version | devices | connect 127.0.0.1:P\n"
               "          | -s SERIAL shell /system/bin/screencap -p PATH | -s SERIAL shell getprop KEY\n"
               "          | -s SERIAL pull PATH LOCAL | -s SERIAL install -r -d APK\n"
               "          | -s SERIAL exec-out screencap [-p]   the screen on standard output: a raw\n"
               "            frame (16-byte header: width, height, format 1, colour space), or a PNG\n"
               "\n"
               "Under its own name:\n"
               "  farmsim init --product memu|ldplayer --instances N [--force] DIR\n"
               "      lays out an install folder DIR (MEmu: also DIR/../%1/MEmuManage.exe)\n"
               "  farmsim set DIR [--instance IDX] KNOB=VALUE...   (empty VALUE removes the setting)\n"
               "  farmsim status DIR                  prints the state with live run states\n"
               "\n"
               "Behaviour:\n"
               "  The state is DIR/%2, rewritten whole under DIR/%2.lock; tool copies find it beside\n"
               "  themselves, or through %3 (MEmuManage.exe), or through $FARMSIM_DIR.\n"
               "  Instance processes are real: listings show their pids, a killed one is seen as stopped,\n"
               "  and each ends by itself when powered off, removed, or when its farm folder is gone.\n"
               "  Tools write \"\\r\\n\" line ends; list2 is GB18030. After kill-server, the next adb call\n"
               "  announces the starting server on its error stream, as adb does.\n"
               "  Qt's own diagnostics are dropped (they would pollute the tools' streams) unless\n"
               "  FARMSIM_DEBUG=1.\n"
               "\n"
               "Knobs (per farm, or per instance with --instance):\n")
               .arg(kHypervDir, kStateFile, kFarmLink) +
           knobHelp();
}

int fail(const QString& text)
{
    errLine(QStringLiteral("farmsim: ") + text);
    return 2;
}

// A tool copy: a hard link to this program when possible, a copy otherwise.
bool installTool(const QString& dst, QString* pErr)
{
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) {
        *pErr = QStringLiteral("cannot find my own executable");
        return false;
    }
    const QString self = QString::fromLocal8Bit(buf, static_cast<int>(n));
    QFile::remove(dst);
    if (::link(buf, QFile::encodeName(dst).constData()) == 0)
        return true;
    if (!QFile::copy(self, dst)) {
        *pErr = QStringLiteral("cannot copy %1 to %2").arg(self, dst);
        return false;
    }
    QFile::setPermissions(dst, QFile::permissions(self));
    return true;
}

struct InitArgs
{
    bool memu = true;
    int count = 0;
    bool force = false;
    QString dir;
};

bool parseInit(const QStringList& args, InitArgs* pOut, QString* pErr)
{
    bool haveProduct = false;
    bool haveCount = false;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (a == "--product" && i + 1 < args.size()) {
            const QString p = args.at(++i);
            if (p != "memu" && p != "ldplayer") {
                *pErr = QStringLiteral("--product takes memu or ldplayer, not \"%1\"").arg(p);
                return false;
            }
            pOut->memu = p == "memu";
            haveProduct = true;
        } else if (a == "--instances" && i + 1 < args.size()) {
            bool ok = false;
            pOut->count = args.at(++i).toInt(&ok);
            if (!ok || pOut->count < 0 || pOut->count > kMaxInstances) {
                *pErr = QStringLiteral("--instances takes 0 to %1").arg(kMaxInstances);
                return false;
            }
            haveCount = true;
        } else if (a == "--force") {
            pOut->force = true;
        } else if (!a.startsWith("--") && pOut->dir.isEmpty()) {
            pOut->dir = a;
        } else {
            *pErr = QStringLiteral("unexpected argument \"%1\"").arg(a);
            return false;
        }
    }
    if (!haveProduct || !haveCount || pOut->dir.isEmpty()) {
        *pErr = QStringLiteral("init needs --product, --instances and DIR");
        return false;
    }
    return true;
}

bool installMEmuTools(const QString& dir, QString* pErr)
{
    for (const QString& t : {kMEmuExe, kMemuConsoleExe, kAdbExe}) {
        if (!installTool(dir + '/' + t, pErr))
            return false;
    }
    const QString hyperv = QDir::cleanPath(dir + QStringLiteral("/../") + kHypervDir);
    QFile link(hyperv + '/' + kFarmLink);
    if (link.open(QIODevice::ReadOnly)) {
        const QString other = QDir(hyperv).absoluteFilePath(QString::fromUtf8(link.readAll()).trimmed());
        link.close();
        if (QDir(other) != QDir(dir) && QFileInfo::exists(other + '/' + kStateFile)) {
            *pErr = QStringLiteral("%1 already serves the farm %2").arg(hyperv, other);
            return false;
        }
    }
    if (!QDir().mkpath(hyperv) || !installTool(hyperv + '/' + kMEmuManageExe, pErr))
        return false;
    if (!link.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *pErr = QStringLiteral("cannot write %1").arg(link.fileName());
        return false;
    }
    link.write(QDir(hyperv).relativeFilePath(dir).toUtf8() + '\n');
    return true;
}

int runInit(const QStringList& args)
{
    InitArgs ia;
    QString err;
    if (!parseInit(args, &ia, &err))
        return fail(err);
    const QString dir = QDir(ia.dir).absolutePath();
    if (!QDir().mkpath(dir))
        return fail(QStringLiteral("cannot create %1").arg(dir));
    if (QFileInfo::exists(dir + '/' + kStateFile) && !ia.force)
        return fail(QStringLiteral("%1 already holds a farm (use --force to lay it out anew)").arg(dir));

    bool ok = ia.memu
                  ? installMEmuTools(dir, &err)
                  : installTool(dir + '/' + kDnConsoleExe, &err) &&
                        installTool(dir + '/' + kDnPlayerExe, &err) && installTool(dir + '/' + kAdbExe, &err);
    if (!ok)
        return fail(err);

    QJsonArray instances;
    if (ia.memu)
        QDir(dir + '/' + kMEmuVmDir).removeRecursively();
    for (int n = 0; n < ia.count; ++n) {
        const QJsonObject rec = newInstanceRecord(ia.memu, n);
        if (ia.memu && !writeMemuFile(dir, rec, &err))
            return fail(err);
        instances.append(rec);
    }
    QJsonObject root{{"product", ia.memu ? "memu" : "ldplayer"},
                     {"version", 1},
                     {"adbServer", true},
                     {"knobs", QJsonObject()},
                     {"instances", instances}};
    Farm farm(dir);
    if (!farm.create(root, &err))
        return fail(err);
    outLine(QStringLiteral("farm %1: %2 with %3 instance(s)")
                .arg(dir, ia.memu ? "MEmu" : "LDPlayer")
                .arg(ia.count));
    for (const QJsonValue& v : instances) {
        const QJsonObject r = v.toObject();
        outLine(QStringLiteral("  %1  port %2  %3")
                    .arg(r.value("index").toString())
                    .arg(r.value("port").toInt())
                    .arg(r.value("name").toString()));
    }
    return 0;
}

// Applies KEY=VALUE pairs to a knob object; returns false with the reason on the first bad one.
bool applyKnobs(const QStringList& pairs, QJsonObject* pKnobs, QString* pErr)
{
    for (const QString& p : pairs) {
        const int eq = p.indexOf('=');
        if (eq <= 0) {
            *pErr = QStringLiteral("expected KNOB=VALUE, not \"%1\"").arg(p);
            return false;
        }
        QJsonValue v;
        if (!parseKnobValue(p.left(eq), p.mid(eq + 1), &v, pErr))
            return false;
        if (v.isUndefined())
            pKnobs->remove(p.left(eq));
        else
            pKnobs->insert(p.left(eq), v);
    }
    return true;
}

// A hang knob that was cleared lets the stopped instance processes go on.
void continueReleased(const Farm& farm)
{
    for (int i = 0; i < farm.count(); ++i) {
        const qint64 pid = farm.livePid(i);
        if (pid > 0 && !farm.knobBool(i, "hang") && processStopped(pid))
            ::kill(static_cast<pid_t>(pid), SIGCONT);
    }
}

int runSet(const QStringList& args)
{
    if (args.size() < 3)
        return fail(QStringLiteral("set needs DIR and KNOB=VALUE"));
    Farm farm(args.at(1));
    QString instance;
    QStringList pairs = args.mid(2);
    if (pairs.size() >= 2 && pairs.at(0) == "--instance") {
        instance = pairs.at(1);
        pairs = pairs.mid(2);
    }
    if (pairs.isEmpty())
        return fail(QStringLiteral("set needs KNOB=VALUE"));
    if (!beginFarm(farm, QStringLiteral("farmsim set")))
        return 1;
    QString err;
    const int i = instance.isEmpty() ? -1 : farm.findIndex(instance);
    if (!instance.isEmpty() && i < 0) {
        farm.rollback();
        return fail(QStringLiteral("no instance \"%1\"").arg(instance));
    }
    QJsonObject owner = i < 0 ? farm.root() : farm.instance(i);
    QJsonObject knobs = owner.value("knobs").toObject();
    if (!applyKnobs(pairs, &knobs, &err)) {
        farm.rollback();
        return fail(err);
    }
    if (i < 0) {
        farm.root().insert("knobs", knobs);
    } else {
        owner.insert("knobs", knobs);
        farm.setInstance(i, owner);
    }
    if (!commitFarm(farm, QStringLiteral("farmsim set")))
        return 1;
    continueReleased(farm);
    outLine(QString::fromUtf8(QJsonDocument(knobs).toJson(QJsonDocument::Compact)));
    return 0;
}

int runStatus(const QStringList& args)
{
    if (args.size() != 2)
        return fail(QStringLiteral("status needs DIR"));
    Farm farm(args.at(1));
    QString err;
    if (!farm.read(&err))
        return fail(err);
    QJsonObject root = farm.root();
    QJsonArray list;
    for (int i = 0; i < farm.count(); ++i) {
        QJsonObject rec = farm.instance(i);
        rec.insert("running", farm.isRunning(i));
        rec.insert("online", farm.isBooted(i));
        rec.insert("hung", farm.isHung(i));
        rec.insert("pid", farm.reportedPid(i));
        list.append(rec);
    }
    root.insert("instances", list);
    writeOut(QJsonDocument(root).toJson(QJsonDocument::Indented));
    return 0;
}

} // namespace

QJsonObject newInstanceRecord(bool memu, int number, const QString& name)
{
    QString idx;
    QString title = name;
    int port = 0;
    if (memu) {
        idx = number == 0 ? QStringLiteral("MEmu") : QStringLiteral("MEmu_%1").arg(number);
        port = kMEmuFirstPort + 10 * number;
        if (title.isEmpty())
            title = number == 0       ? QStringLiteral("逍遥模拟器")
                    : number % 2 == 1 ? QStringLiteral("Farm-%1").arg(number)
                                      : QStringLiteral("逍遥模拟器%1").arg(number);
    } else {
        idx = QString::number(number);
        port = kLdFirstPort + 2 * number;
        if (title.isEmpty())
            title = number == 0       ? QStringLiteral("雷电模拟器")
                    : number % 2 == 1 ? QStringLiteral("LDPlayer-%1").arg(number)
                                      : QStringLiteral("雷电模拟器-%1").arg(number);
    }
    return QJsonObject{{"index", idx},
                       {"name", title},
                       {"port", port},
                       {"uuid", QUuid::createUuid().toString()},
                       {"pid", 0},
                       {"launchMs", 0},
                       {"stop", false},
                       {"knobs", QJsonObject()},
                       {"installed", QJsonArray()}};
}

int nextInstanceNumber(const Farm& farm)
{
    int next = 0;
    for (int i = 0; i < farm.count(); ++i) {
        const QString idx = farm.instance(i).value("index").toString();
        const int us = idx.lastIndexOf('_');
        const int n = farm.product() == Product::MEmu ? (us < 0 ? 0 : idx.mid(us + 1).toInt()) : idx.toInt();
        next = qMax(next, n + 1);
    }
    return next;
}

int runFarmCommand(const QStringList& args)
{
    const QString cmd = args.value(0);
    if (cmd == "init")
        return runInit(args);
    if (cmd == "set")
        return runSet(args);
    if (cmd == "status")
        return runStatus(args);
    if (cmd == "help" || cmd == "--help" || cmd == "-h") {
        writeOut(usage().toUtf8());
        return 0;
    }
    writeErr(usage().toUtf8());
    return 2;
}

} // namespace farmsim
