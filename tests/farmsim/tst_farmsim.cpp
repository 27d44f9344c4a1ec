// The simulated farm is driven only through its tools' command lines and outputs, exactly as the
// agent's launchers, inventory readers and adb bridge drive the real products.
#include "farmfixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>
#include <QThread>
#include <QXmlStreamReader>
#include <QtEndian>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <csignal>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int kWaitMs = 10000;

struct Run
{
    int code = -1;
    QByteArray out;
    QByteArray err;
    qint64 ms = 0;
};

QString farmsimPath()
{
    return qEnvironmentVariable("TOVIA_BIN_DIR") + QStringLiteral("/farmsim");
}

Run run(const QString& program, const QStringList& args)
{
    Run r;
    QProcess p;
    QElapsedTimer t;
    t.start();
    p.start(program, args);
    if (p.waitForStarted(kWaitMs) && p.waitForFinished(kWaitMs))
        r.code = p.exitCode();
    else
        p.kill();
    p.waitForFinished(1000);
    r.ms = t.elapsed();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

bool waitFor(const std::function<bool()>& done, int ms = kWaitMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QThread::msleep(20);
    }
    return true;
}

char procState(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray s = f.readAll();
    const int close = s.lastIndexOf(')');
    return close > 0 && close + 2 < s.size() ? s.at(close + 2) : 0;
}

bool processAlive(qint64 pid)
{
    const char s = procState(pid);
    return s != 0 && s != 'Z' && s != 'X';
}

QByteArray cmdline(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/cmdline").arg(pid));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// One list2 line, decoded as the LDPlayer readers decode it.
QStringList list2Line(const QByteArray& out, const QString& idx)
{
    const QString text = QTextCodec::codecForName("gb18030")->toUnicode(out);
    for (const QString& line : text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) {
        const QStringList f = line.split(',');
        if (f.value(0) == idx)
            return f;
    }
    return {};
}

// The adb port and name tag of a machine description file, read as the MEmu reader reads them.
struct MemuEntry
{
    int port = 0;
    QString name;
};

MemuEntry readMemuFile(const QString& path)
{
    MemuEntry e;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return e;
    QXmlStreamReader xml(&f);
    QStringList stack;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            stack << xml.name().toString();
            const auto a = xml.attributes();
            const QString chain = stack.join('/');
            if (chain == "MemuHyperv/Machine/Hardware/Network/Adapter/NAT/Forwarding" &&
                a.value("name") == "ADB")
                e.port = a.value("hostport").toInt();
            if (chain == "MemuHyperv/Machine/Hardware/GuestProperties/GuestProperty" &&
                a.value("name") == "name_tag")
                e.name = a.value("value").toString();
        } else if (xml.isEndElement()) {
            stack.removeLast();
        }
    }
    return e;
}

} // namespace

class TestFarmSim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void memuLayout();
    void memuInstanceLifecycle();
    void memuCreateAndDelete();
    void memuConsoleStaysOpen();
    void ldCommands();
    void ldLaunchDetaches();
    void killedInstanceSeenStopped();
    void adbOutputs();
    void adbInstall();
    void adbShellSession();
    void concurrentInvocations();
    void knobBootFailAndDelay();
    void knobHang();
    void knobAdbNoise();
    void knobScreencap_data();
    void knobScreencap();
    void knobInstall();
    void knobDeleteLocked();
    void knobSlowTool();
    void knobUnkillable();
    void badInput();
    void memuWindowOnDisplay();

private:
    QString initFarm(const QString& product, int count);
    Run tool(const QString& name, const QStringList& args);
    Run farmsim(const QStringList& args) { return run(farmsimPath(), args); }
    void set(const QStringList& knobs, const QString& instance = QString());
    QJsonObject status();
    QJsonObject instanceStatus(const QString& idx);
    QProcess* startMEmu(const QString& idx);
    qint64 launchLd(const QString& idx);
    bool adbDeviceState(const QString& serial, const QString& state);

    std::unique_ptr<QTemporaryDir> m_pTmp;
    QString m_dir;
    std::vector<std::unique_ptr<QProcess>> m_instances;
};

void TestFarmSim::initTestCase()
{
    // The MEmu instances show windows titled with their names, the same names in every farm: they go
    // to a display of this program's own, where no other test's window can be mistaken for them.
    XvfbServer::isolateDisplay();
}

void TestFarmSim::init()
{
    if (!QFileInfo(farmsimPath()).isExecutable())
        QSKIP("farmsim is not built (TOVIA_BIN_DIR/farmsim missing)");
    m_pTmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_pTmp->isValid());
}

void TestFarmSim::cleanup()
{
    // Every instance process the test left behind is killed, whatever the knobs say.
    if (!m_dir.isEmpty()) {
        const QJsonArray list = status().value("instances").toArray();
        for (const QJsonValue& v : list) {
            const qint64 pid = v.toObject().value("pid").toVariant().toLongLong();
            if (pid > 0 && processAlive(pid) && cmdline(pid).contains(m_dir.toLocal8Bit()))
                ::kill(static_cast<pid_t>(pid), SIGKILL);
        }
    }
    for (auto& p : m_instances) {
        p->kill();
        p->waitForFinished(2000);
    }
    m_instances.clear();
    m_dir.clear();
    m_pTmp.reset();
}

QString TestFarmSim::initFarm(const QString& product, int count)
{
    m_dir = m_pTmp->path() + (product == "memu" ? "/MEmu" : "/LDPlayer");
    const Run r = farmsim({"init", "--product", product, "--instances", QString::number(count), m_dir});
    if (r.code != 0)
        qWarning() << r.err;
    return r.code == 0 ? m_dir : QString();
}

Run TestFarmSim::tool(const QString& name, const QStringList& args)
{
    if (name == "MEmuManage.exe")
        return run(QDir::cleanPath(m_dir + "/../MEmuHyperv/MEmuManage.exe"), args);
    return run(m_dir + '/' + name, args);
}

void TestFarmSim::set(const QStringList& knobs, const QString& instance)
{
    QStringList args{"set", m_dir};
    if (!instance.isEmpty())
        args << "--instance" << instance;
    const Run r = farmsim(args + knobs);
    QVERIFY2(r.code == 0, r.err.constData());
}

QJsonObject TestFarmSim::status()
{
    return QJsonDocument::fromJson(farmsim({"status", m_dir}).out).object();
}

QJsonObject TestFarmSim::instanceStatus(const QString& idx)
{
    for (const QJsonValue& v : status().value("instances").toArray()) {
        if (v.toObject().value("index").toString() == idx)
            return v.toObject();
    }
    return {};
}

// Started as the MEmu launcher starts it: the caller's process object runs the instance.
QProcess* TestFarmSim::startMEmu(const QString& idx)
{
    auto p = std::make_unique<QProcess>();
    p->start(m_dir + "/MEmu.exe", {idx});
    if (!p->waitForStarted(kWaitMs))
        return nullptr;
    m_instances.push_back(std::move(p));
    QProcess* pRaw = m_instances.back().get();
    // Registered once the manager lists it.
    waitFor([&] {
        return tool("MEmuManage.exe", {"list", "runningvms"}).out.contains('"' + idx.toUtf8() + '"');
    });
    return pRaw;
}

qint64 TestFarmSim::launchLd(const QString& idx)
{
    tool("dnconsole.exe", {"launch", "--index", idx});
    return list2Line(tool("dnconsole.exe", {"list2"}).out, idx).value(5).toLongLong();
}

bool TestFarmSim::adbDeviceState(const QString& serial, const QString& state)
{
    const QStringList lines = QString::fromUtf8(tool("adb.exe", {"devices"}).out).split("\r\n");
    return lines.contains(serial + '\t' + state);
}

void TestFarmSim::memuLayout()
{
    QVERIFY(!initFarm("memu", 3).isEmpty());
    for (const char* t : {"MEmu.exe", "MemuConsole.exe", "adb.exe"})
        QVERIFY(QFileInfo(m_dir + "/" + t).isExecutable());
    QVERIFY(QFileInfo(m_pTmp->path() + "/MEmuHyperv/MEmuManage.exe").isExecutable());

    QDir vms(m_dir + "/MemuHyperv VMs");
    QCOMPARE(vms.entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList({"MEmu", "MEmu_1", "MEmu_2"}));
    const MemuEntry e0 = readMemuFile(vms.filePath("MEmu/MEmu.memu"));
    const MemuEntry e1 = readMemuFile(vms.filePath("MEmu_1/MEmu_1.memu"));
    const MemuEntry e2 = readMemuFile(vms.filePath("MEmu_2/MEmu_2.memu"));
    QCOMPARE(e0.port, 21503);
    QCOMPARE(e1.port, 21513);
    QCOMPARE(e2.port, 21523);
    // Chinese and ASCII display names.
    QCOMPARE(e0.name, QStringLiteral("逍遥模拟器"));
    QCOMPARE(e1.name, QStringLiteral("Farm-1"));
    QVERIFY(e2.name.contains(QStringLiteral("逍遥")));

    // A second init into the same folder is refused unless forced.
    QVERIFY(farmsim({"init", "--product", "memu", "--instances", "1", m_dir}).code != 0);
}

void TestFarmSim::memuInstanceLifecycle()
{
    QVERIFY(!initFarm("memu", 2).isEmpty());
    set({"bootDelayMs=300"});
    QProcess* pMEmu = startMEmu("MEmu_1");
    QVERIFY(pMEmu);

    // Listed as the manager lists it: "<idx>" {uuid}, "\r\n" line ends.
    const Run list = tool("MEmuManage.exe", {"list", "runningvms"});
    QVERIFY(list.out.startsWith("\"MEmu_1\" {"));
    QVERIFY(list.out.endsWith("}\r\n"));
    QCOMPARE(list.out.count("\r\n"), 1);

    // Offline while booting, then device.
    QVERIFY(adbDeviceState("127.0.0.1:21513", "offline") || adbDeviceState("127.0.0.1:21513", "device"));
    QVERIFY(waitFor([&] { return adbDeviceState("127.0.0.1:21513", "device"); }));
    QVERIFY(!adbDeviceState("127.0.0.1:21503", "device"));

    // Two screenshots: real portrait PNGs, taken at different times, different pictures.
    QImage shots[2];
    for (QImage& shot : shots) {
        const Run cap = tool("adb.exe", {"-s", "127.0.0.1:21513", "shell", "/system/bin/screencap", "-p",
                                         "/data/data/screencap.png"});
        QCOMPARE(cap.code, 0);
        QVERIFY2(cap.err.isEmpty(), cap.err.constData());
        const QString local = m_pTmp->filePath("shot.png");
        const Run pull =
            tool("adb.exe", {"-s", "127.0.0.1:21513", "pull", "/data/data/screencap.png", local});
        QCOMPARE(pull.code, 0);
        QVERIFY(pull.err.contains("[100%]"));
        QVERIFY(pull.out.contains("1 file pulled"));
        QVERIFY(shot.load(local));
        QVERIFY(shot.height() > shot.width() && shot.width() >= 200);
        QThread::msleep(150);
    }
    QVERIFY(shots[0] != shots[1]);

    // Locked while running; powered off, the instance process ends by itself.
    QVERIFY(tool("MEmuManage.exe", {"unregistervm", "MEmu_1", "--delete"}).err.contains("locked"));
    const Run off = tool("MEmuManage.exe", {"controlvm", "MEmu_1", "poweroff"});
    QCOMPARE(off.code, 0);
    QVERIFY(off.err.contains("100%"));
    QVERIFY(pMEmu->waitForFinished(kWaitMs));
    QCOMPARE(tool("MEmuManage.exe", {"list", "runningvms"}).out, QByteArray());
    QVERIFY(!adbDeviceState("127.0.0.1:21513", "device"));
    QVERIFY(tool("adb.exe", {"connect", "127.0.0.1:21513"}).out.contains("unable"));

    // Started again, it boots again.
    QVERIFY(startMEmu("MEmu_1"));
    QVERIFY(waitFor([&] { return adbDeviceState("127.0.0.1:21513", "device"); }));
}

void TestFarmSim::memuCreateAndDelete()
{
    QVERIFY(!initFarm("memu", 2).isEmpty());
    const Run create = tool("MemuConsole.exe", {"create"});
    QCOMPARE(create.code, 0);
    QCOMPARE(create.out, QByteArray("MEmu_2\r\n"));
    const MemuEntry e = readMemuFile(m_dir + "/MemuHyperv VMs/MEmu_2/MEmu_2.memu");
    QCOMPARE(e.port, 21523);
    QVERIFY(!e.name.isEmpty());

    // Deletion as the launcher issues it: quoted index, progress ending in 100% on the error stream.
    const Run del = tool("MEmuManage.exe", {"unregistervm", "\"MEmu_1\"", "--delete"});
    QCOMPARE(del.code, 0);
    QVERIFY(del.err.contains("100%"));
    QVERIFY(!QFileInfo::exists(m_dir + "/MemuHyperv VMs/MEmu_1"));
    QVERIFY(!tool("MEmuManage.exe", {"list", "vms"}).out.contains("MEmu_1"));
    // Unknown machines are errors, not silent successes.
    const Run again = tool("MEmuManage.exe", {"unregistervm", "MEmu_1", "--delete"});
    QVERIFY(again.code != 0 && !again.err.contains("100%"));
    // The next create does not reuse a live index.
    QCOMPARE(tool("MemuConsole.exe", {"create"}).out, QByteArray("MEmu_3\r\n"));
}

void TestFarmSim::memuConsoleStaysOpen()
{
    QVERIFY(!initFarm("memu", 1).isEmpty());
    QProcess console;
    console.start(m_dir + "/MemuConsole.exe", {});
    QVERIFY(console.waitForStarted(kWaitMs));
    QVERIFY(!console.waitForFinished(600));
    // It ends once its farm is gone, so no test leaves one behind.
    QFile::remove(m_dir + "/farmsim.json");
    QVERIFY(console.waitForFinished(kWaitMs));
}

void TestFarmSim::ldCommands()
{
    QVERIFY(!initFarm("ldplayer", 3).isEmpty());
    const Run list = tool("dnconsole.exe", {"list2"});
    QCOMPARE(list.code, 0);
    QVERIFY(list.out.endsWith("\r\n"));
    QCOMPARE(list2Line(list.out, "0"),
             QStringList({"0", QStringLiteral("雷电模拟器"), "0", "0", "0", "-1", "-1"}));
    QCOMPARE(list2Line(list.out, "1").value(1), QStringLiteral("LDPlayer-1"));
    // The bytes are GB18030, not UTF-8.
    QVERIFY(list.out.contains(QTextCodec::codecForName("gb18030")->fromUnicode(QStringLiteral("雷电"))));
    QVERIFY(!list.out.contains(QStringLiteral("雷电").toUtf8()));

    // Rename as the launcher issues it: the title with its blanks, unquoted, after --title.
    QCOMPARE(tool("dnconsole.exe", {"rename", "--index", "1", "--title", "My", "New", "Phone"}).code, 0);
    QCOMPARE(list2Line(tool("dnconsole.exe", {"list2"}).out, "1").value(1), QStringLiteral("My New Phone"));
    QCOMPARE(tool("dnconsole.exe", {"rename", "--index", "1", "--title", QStringLiteral("中文名")}).code, 0);
    QCOMPARE(list2Line(tool("dnconsole.exe", {"list2"}).out, "1").value(1), QStringLiteral("中文名"));

    QCOMPARE(tool("dnconsole.exe", {"add"}).code, 0);
    QCOMPARE(list2Line(tool("dnconsole.exe", {"list2"}).out, "3").size(), 7);

    const qint64 pid = launchLd("2");
    QVERIFY(processAlive(pid));
    QCOMPARE(tool("dnconsole.exe", {"quit", "--index", "2"}).code, 0);
    QVERIFY(waitFor([&] { return !processAlive(pid); }));
    QCOMPARE(list2Line(tool("dnconsole.exe", {"list2"}).out, "2").value(4), QStringLiteral("0"));

    // Removing a running instance stops it first.
    const qint64 pid0 = launchLd("0");
    QVERIFY(processAlive(pid0));
    QCOMPARE(tool("dnconsole.exe", {"remove", "--index", "0"}).code, 0);
    QVERIFY(list2Line(tool("dnconsole.exe", {"list2"}).out, "0").isEmpty());
    QVERIFY(waitFor([&] { return !processAlive(pid0); }));
}

void TestFarmSim::ldLaunchDetaches()
{
    QVERIFY(!initFarm("ldplayer", 2).isEmpty());
    set({"bootDelayMs=200"});
    // launch returns at once and its output closes, although the instance keeps running.
    const Run launch = tool("dnconsole.exe", {"launch", "--index", "1"});
    QCOMPARE(launch.code, 0);
    QVERIFY2(launch.ms < kWaitMs / 2, QByteArray::number(launch.ms).constData());
    const QStringList line = list2Line(tool("dnconsole.exe", {"list2"}).out, "1");
    QCOMPARE(line.value(4), QStringLiteral("1"));
    const qint64 pid = line.value(5).toLongLong();
    QVERIFY(processAlive(pid));
    QVERIFY(cmdline(pid).contains("dnplayer.exe"));
    QVERIFY(line.value(2).toLongLong() != 0);
    QVERIFY(waitFor([&] { return adbDeviceState("127.0.0.1:5557", "device"); }));
    // A second launch leaves the running instance alone.
    QCOMPARE(launchLd("1"), pid);
}

void TestFarmSim::killedInstanceSeenStopped()
{
    QVERIFY(!initFarm("ldplayer", 1).isEmpty());
    set({"bootDelayMs=0"});
    const qint64 pid = launchLd("0");
    QVERIFY(waitFor([&] { return adbDeviceState("127.0.0.1:5555", "device"); }));
    QCOMPARE(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
    QVERIFY(waitFor([&] { return !processAlive(pid); }));
    const QStringList line = list2Line(tool("dnconsole.exe", {"list2"}).out, "0");
    QCOMPARE(line.value(4), QStringLiteral("0"));
    QCOMPARE(line.value(5), QStringLiteral("-1"));
    QVERIFY(!tool("adb.exe", {"devices"}).out.contains("127.0.0.1:5555"));
    QVERIFY(tool("adb.exe", {"-s", "127.0.0.1:5555", "shell", "/system/bin/screencap", "-p", "/x.png"})
                .err.contains("not found"));
    // It can be launched again.
    QVERIFY(processAlive(launchLd("0")));

    // The same for MEmu, whose instance process is the launcher's own child.
    cleanup();
    init();
    QVERIFY(!initFarm("memu", 1).isEmpty());
    QProcess* pMEmu = startMEmu("MEmu");
    QVERIFY(pMEmu);
    pMEmu->kill();
    QVERIFY(pMEmu->waitForFinished(kWaitMs));
    QCOMPARE(tool("MEmuManage.exe", {"list", "runningvms"}).out, QByteArray());
    QVERIFY(instanceStatus("MEmu").value("running").toBool() == false);
}

void TestFarmSim::adbOutputs()
{
    QVERIFY(!initFarm("ldplayer", 2).isEmpty());
    set({"bootDelayMs=0"});
    const Run devices = tool("adb.exe", {"devices"});
    QCOMPARE(devices.out, QByteArray("List of devices attached\r\n\r\n"));
    QVERIFY(devices.err.isEmpty());

    QVERIFY(tool("adb.exe", {"connect", "127.0.0.1:5555"}).out.contains("unable"));
    launchLd("0");
    QCOMPARE(tool("adb.exe", {"connect", "127.0.0.1:5555"}).out,
             QByteArray("connected to 127.0.0.1:5555\r\n"));
    QVERIFY(waitFor([&] { return adbDeviceState("127.0.0.1:5555", "device"); }));
    // A serial that is a prefix of a listed one is not listed.
    QVERIFY(!adbDeviceState("127.0.0.1:555", "device"));

    // The server: quiet when running; after kill-server the next call starts it and says so on
    // its error stream, as adb does; start-server on a running server is quiet.
    QCOMPARE(tool("adb.exe", {"start-server"}).err, QByteArray());
    QCOMPARE(tool("adb.exe", {"kill-server"}).code, 0);
    QVERIFY(tool("adb.exe", {"devices"}).err.contains("daemon started successfully"));
    QCOMPARE(tool("adb.exe", {"devices"}).err, QByteArray());
    QCOMPARE(tool("adb.exe", {"kill-server"}).code, 0);
    QVERIFY(tool("adb.exe", {"start-server"}).err.contains("daemon"));

    // Pull of a file that the device does not have.
    const Run pull =
        tool("adb.exe", {"-s", "127.0.0.1:5555", "pull", "/data/data/none.png", m_pTmp->filePath("n.png")});
    QVERIFY(pull.code != 0 && pull.err.contains("failed to stat remote object"));
    QVERIFY(!QFileInfo::exists(m_pTmp->filePath("n.png")));
}

// The long-lived "adb shell": lines on standard input, the device's sh as far as the agent needs it
// (quoting, $?, the redirections it uses), input events logged with their times, anything else
// refused and logged, the shell ending with its instance.
void TestFarmSim::adbShellSession()
{
    QVERIFY(!initFarm("ldplayer", 1).isEmpty());
    set({"bootDelayMs=0", "screenWidth=72", "screenHeight=128"});
    launchLd("0");
    QVERIFY(waitFor([&] { return adbDeviceState("127.0.0.1:5555", "device"); }));
    QProcess shell;
    shell.start(m_dir + "/adb.exe", {"-s", "127.0.0.1:5555", "shell"});
    QVERIFY(shell.waitForStarted(kWaitMs));
    const auto lineOut = [&](const QByteArray& line, const QByteArray& endMark) {
        shell.write(line + '\n');
        QByteArray out;
        QElapsedTimer t;
        t.start();
        while (!out.contains(endMark) && t.elapsed() < kWaitMs && shell.waitForReadyRead(kWaitMs))
            out += shell.readAllStandardOutput();
        return out;
    };
    QCOMPARE(lineOut("echo 'a  b' \"c\\\"d\" e\\ f; getprop sys.boot_completed; wm size; echo E:$?", "E:"),
             QByteArray("a  b c\"d e f\n1\nPhysical size: 72x128\nE:0\n"));
    // Failures and their status; 2>&1 brings the error text into the output.
    QCOMPARE(lineOut("input tap 1; echo E:$?", "E:"), QByteArray("E:1\n"));
    QCOMPARE(lineOut("nosuch 2>&1; echo E:$?", "E:"),
             QByteArray("/system/bin/sh: nosuch: not found\nE:127\n"));
    // A raw frame of the instance's size, nothing else before the marker.
    const QByteArray frame = lineOut("screencap 2>/dev/null </dev/null; echo E:$?", "E:0\n");
    QCOMPARE(frame.size(), 16 + 72 * 128 * 4 + 4);
    QCOMPARE(qFromLittleEndian<quint32>(frame.constData() + 4), quint32(128));
    // Events keep their words; what sh would expand or run is refused as a whole line.
    QCOMPARE(lineOut("input text 'it'\\''s; $(x) `y` | &'; input swipe 1 2 3 4 50; echo E:$?", "E:"),
             QByteArray("E:0\n"));
    shell.write("input text $(reboot); echo E:$?\ninput text a | reboot\ninput tap 5 6 > /data/x\n");
    QCOMPARE(lineOut("echo done", "done"), QByteArray("done\n"));
    QFile events(m_dir + "/.farmsim-devices/0/events.jsonl");
    QVERIFY(events.open(QIODevice::ReadOnly));
    QStringList seen;
    qint64 lastMs = 0;
    for (const QByteArray& line : events.readAll().split('\n')) {
        const QJsonObject e = QJsonDocument::fromJson(line).object();
        if (e.isEmpty())
            continue;
        QVERIFY(e.value("ms").toDouble() >= lastMs);
        lastMs = qint64(e.value("ms").toDouble());
        seen << e.value("cmd").toString() + '=' + e.value("args").toVariant().toStringList().join('|');
    }
    QCOMPARE(seen.size(), 6);
    QCOMPARE(seen.at(0), QString("sh-error=not found|nosuch"));
    QCOMPARE(seen.at(1), QString("text=it's; $(x) `y` | &"));
    QCOMPARE(seen.at(2), QString("swipe=1|2|3|4|50"));
    for (int i = 3; i < 6; ++i)
        QVERIFY2(seen.at(i).startsWith("sh-error="), qPrintable(seen.at(i)));
    QVERIFY(!seen.join(' ').contains("tap=5"));
    // The shell ends with its instance, as the connection to a device that went away does.
    QCOMPARE(tool("dnconsole.exe", {"quit", "--index", "0"}).code, 0);
    QVERIFY(shell.waitForFinished(kWaitMs));
    QCOMPARE(shell.exitCode(), 1);
    QVERIFY(shell.readAllStandardError().contains("error: closed"));
}

void TestFarmSim::adbInstall()
{
    QVERIFY(!initFarm("ldplayer", 1).isEmpty());
    set({"bootDelayMs=0"});
    launchLd("0");
    QVERIFY(waitFor([&] { return adbDeviceState("127.0.0.1:5555", "device"); }));
    const QString apk = m_pTmp->filePath("game.apk");
    QFile f(apk);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("PK\x03\x04 not much of an apk");
    f.close();

    const Run ok = tool("adb.exe", {"-s", "127.0.0.1:5555", "install", "-r", "-d", apk});
    QCOMPARE(ok.code, 0);
    QCOMPARE(ok.out, QByteArray("Performing Streamed Install\r\nSuccess\r\n"));
    QVERIFY(ok.err.isEmpty());
    QCOMPARE(instanceStatus("0").value("installed").toArray().size(), 1);
    // Replacing is allowed with -r; without it the package already exists.
    QCOMPARE(tool("adb.exe", {"-s", "127.0.0.1:5555", "install", "-r", "-d", apk}).code, 0);
    QVERIFY(tool("adb.exe", {"-s", "127.0.0.1:5555", "install", apk})
                .out.contains("INSTALL_FAILED_ALREADY_EXISTS"));
    QCOMPARE(instanceStatus("0").value("installed").toArray().size(), 1);

    const Run missing =
        tool("adb.exe", {"-s", "127.0.0.1:5555", "install", "-r", "-d", m_pTmp->filePath("no.apk")});
    QVERIFY(missing.code != 0 && !missing.out.contains("Success") && !missing.err.isEmpty());
    const Run offline = tool("adb.exe", {"-s", "127.0.0.1:5557", "install", "-r", "-d", apk});
    QVERIFY(offline.code != 0 && !offline.out.contains("Success"));
}

void TestFarmSim::concurrentInvocations()
{
    QVERIFY(!initFarm("ldplayer", 2).isEmpty());
    // Many tool calls at once, each a read-modify-write of the state: none may be lost.
    constexpr int kAdds = 8;
    std::vector<std::unique_ptr<QProcess>> procs;
    for (int i = 0; i < kAdds; ++i) {
        procs.push_back(std::make_unique<QProcess>());
        procs.back()->start(m_dir + "/dnconsole.exe", {"add", "--name", QStringLiteral("Par %1").arg(i)});
        procs.push_back(std::make_unique<QProcess>());
        procs.back()->start(farmsimPath(), {"set", m_dir, "--instance", QString::number(i % 2),
                                            QStringLiteral("toolDelayMs=%1").arg(i)});
    }
    for (auto& p : procs) {
        QVERIFY(p->waitForFinished(kWaitMs));
        QCOMPARE(p->exitCode(), 0);
    }
    const QJsonArray list = status().value("instances").toArray();
    QCOMPARE(list.size(), 2 + kAdds);
    QSet<QString> indexes;
    QSet<QString> names;
    for (const QJsonValue& v : list) {
        indexes.insert(v.toObject().value("index").toString());
        names.insert(v.toObject().value("name").toString());
    }
    QCOMPARE(indexes.size(), 2 + kAdds);
    for (int i = 0; i < kAdds; ++i)
        QVERIFY(names.contains(QStringLiteral("Par %1").arg(i)));
}

void TestFarmSim::knobBootFailAndDelay()
{
    // Long enough that the look right after the launch always comes before the boot ends, even when
    // every tool call takes a while on a busy machine.
    QVERIFY(!initFarm("ldplayer", 2).isEmpty());
    set({"bootDelayMs=2000"});
    set({"bootFail=true"}, "1");
    launchLd("0");
    QVERIFY(adbDeviceState("127.0.0.1:5555", "offline"));
    launchLd("1");
    QVERIFY(waitFor([&] { return adbDeviceState("127.0.0.1:5555", "device"); }));
    // The failing instance runs but never comes online.
    QThread::msleep(300);
    QVERIFY(adbDeviceState("127.0.0.1:5557", "offline"));
    QVERIFY(tool("adb.exe", {"-s", "127.0.0.1:5557", "shell", "/system/bin/screencap", "-p", "/a.png"})
                .err.contains("offline"));
    QCOMPARE(list2Line(tool("dnconsole.exe", {"list2"}).out, "1").value(4), QStringLiteral("1"));
}

void TestFarmSim::knobHang()
{
    QVERIFY(!initFarm("memu", 1).isEmpty());
    set({"bootDelayMs=0"});
    QProcess* pMEmu = startMEmu("MEmu");
    QVERIFY(pMEmu);
    const qint64 pid = pMEmu->processId();
    set({"hang=true"}, "MEmu");
    QVERIFY(waitFor([&] { return procState(pid) == 'T'; }));
    // Hung: still running for the manager, unreachable for adb.
    QVERIFY(tool("MEmuManage.exe", {"list", "runningvms"}).out.contains("\"MEmu\""));
    QVERIFY(adbDeviceState("127.0.0.1:21503", "offline"));
    QVERIFY(instanceStatus("MEmu").value("hung").toBool());
    // Clearing the knob lets it go on.
    set({"hang="}, "MEmu");
    QVERIFY(waitFor([&] { return procState(pid) != 'T'; }));
    QVERIFY(waitFor([&] { return adbDeviceState("127.0.0.1:21503", "device"); }));

    // A hung instance whose farm is removed does not stay behind stopped.
    set({"hang=true"}, "MEmu");
    QVERIFY(waitFor([&] { return procState(pid) == 'T'; }));
    QVERIFY(QFile::remove(m_dir + "/farmsim.json"));
    QVERIFY(pMEmu->waitForFinished(kWaitMs));
}

void TestFarmSim::knobAdbNoise()
{
    QVERIFY(!initFarm("ldplayer", 2).isEmpty());
    set({"bootDelayMs=0"});
    launchLd("0");
    launchLd("1");
    QVERIFY(waitFor([&] { return adbDeviceState("127.0.0.1:5557", "device"); }));
    const QStringList cap0{"-s", "127.0.0.1:5555", "shell", "/system/bin/screencap", "-p", "/s.png"};
    const QStringList cap1{"-s", "127.0.0.1:5557", "shell", "/system/bin/screencap", "-p", "/s.png"};
    set({"adbNoise=true"}, "1");
    QVERIFY(tool("adb.exe", cap0).err.isEmpty());
    QVERIFY(!tool("adb.exe", cap1).err.isEmpty());
    QCOMPARE(tool("adb.exe", cap1).code, 0);
    set({"adbNoise=true"});
    QVERIFY(!tool("adb.exe", {"devices"}).err.isEmpty());
    QVERIFY(!tool("adb.exe", cap0).err.isEmpty());
    // Noise does not change what is printed on the output stream.
    QVERIFY(tool("adb.exe", {"devices"}).out.contains("127.0.0.1:5555\tdevice\r\n"));
}

void TestFarmSim::knobScreencap_data()
{
    QTest::addColumn<QString>("mode");
    QTest::newRow("empty") << "empty";
    QTest::newRow("blank") << "blank";
    QTest::newRow("garbage") << "garbage";
}

void TestFarmSim::knobScreencap()
{
    QFETCH(QString, mode);
    QVERIFY(!initFarm("ldplayer", 1).isEmpty());
    set({"bootDelayMs=0", "screencap=" + mode});
    launchLd("0");
    QVERIFY(waitFor([&] { return adbDeviceState("127.0.0.1:5555", "device"); }));
    QCOMPARE(
        tool("adb.exe", {"-s", "127.0.0.1:5555", "shell", "/system/bin/screencap", "-p", "/data/data/s.png"})
            .code,
        0);
    const QString local = m_pTmp->filePath("s.png");
    QCOMPARE(tool("adb.exe", {"-s", "127.0.0.1:5555", "pull", "/data/data/s.png", local}).code, 0);
    QImage img;
    const bool loaded = img.load(local);
    if (mode == "empty") {
        QVERIFY(QFileInfo::exists(local));
        QCOMPARE(QFileInfo(local).size(), 0);
    } else if (mode == "garbage") {
        QVERIFY(QFileInfo(local).size() > 0);
        QVERIFY(!loaded);
    } else {
        // Loads, but every pixel byte is zero (fully transparent).
        QVERIFY(loaded);
        QVERIFY(img.sizeInBytes() > 200);
        int sum = 0;
        for (int k = 100; k < 200; ++k)
            sum += img.constBits()[k];
        QCOMPARE(sum, 0);
    }
}

void TestFarmSim::knobInstall()
{
    QVERIFY(!initFarm("memu", 1).isEmpty());
    set({"bootDelayMs=0"});
    QVERIFY(startMEmu("MEmu"));
    QVERIFY(waitFor([&] { return adbDeviceState("127.0.0.1:21503", "device"); }));
    const QString apk = m_pTmp->filePath("a.apk");
    QFile f(apk);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("PK\x03\x04");
    f.close();
    const QStringList install{"-s", "127.0.0.1:21503", "install", "-r", "-d", apk};

    set({"install=exists"});
    Run r = tool("adb.exe", install);
    QVERIFY(r.out.contains("Failure [INSTALL_FAILED_ALREADY_EXISTS"));
    QVERIFY(!r.out.contains("Success"));
    QVERIFY(r.err.contains("Failure ["));
    set({"install=refuse"});
    r = tool("adb.exe", install);
    QVERIFY(r.out.contains("Failure ["));
    QVERIFY(!r.out.contains("Success") && !r.out.contains("ALREADY_EXISTS"));
    QVERIFY(instanceStatus("MEmu").value("installed").toArray().isEmpty());
    // The instance's own setting wins over the farm's.
    set({"install=ok"}, "MEmu");
    QVERIFY(tool("adb.exe", install).out.contains("Success"));
}

void TestFarmSim::knobDeleteLocked()
{
    QVERIFY(!initFarm("memu", 2).isEmpty());
    set({"deleteLocked=true"}, "MEmu_1");
    const Run r = tool("MEmuManage.exe", {"unregistervm", "\"MEmu_1\"", "--delete"});
    QVERIFY(r.err.contains("locked"));
    QVERIFY(!r.err.contains("100%"));
    QVERIFY(QFileInfo::exists(m_dir + "/MemuHyperv VMs/MEmu_1/MEmu_1.memu"));
    QVERIFY(tool("MEmuManage.exe", {"unregistervm", "\"MEmu\"", "--delete"}).err.contains("100%"));

    cleanup();
    init();
    QVERIFY(!initFarm("ldplayer", 1).isEmpty());
    set({"deleteLocked=true"});
    tool("dnconsole.exe", {"remove", "--index", "0"});
    QVERIFY(!list2Line(tool("dnconsole.exe", {"list2"}).out, "0").isEmpty());
}

void TestFarmSim::knobSlowTool()
{
    // A delayed call takes at least the delay; an undelayed one stays well below it even on a busy
    // machine, so the two are told apart without measuring a call's usual length.
    constexpr int kDelayMs = 1200;
    const QString delay = QStringLiteral("toolDelayMs=%1").arg(kDelayMs);
    QVERIFY(!initFarm("ldplayer", 2).isEmpty());
    set({delay});
    QVERIFY(tool("dnconsole.exe", {"list2"}).ms >= kDelayMs);
    QVERIFY(tool("adb.exe", {"devices"}).ms >= kDelayMs);
    // Per instance: only the calls about that instance are slow.
    set({"toolDelayMs="});
    set({delay}, "1");
    QVERIFY(tool("dnconsole.exe", {"rename", "--index", "1", "--title", "x"}).ms >= kDelayMs);
    const Run other = tool("dnconsole.exe", {"rename", "--index", "0", "--title", "y"});
    QCOMPARE(other.code, 0);
    QVERIFY2(other.ms < kDelayMs, QByteArray::number(other.ms).constData());
    QVERIFY(tool("adb.exe", {"connect", "127.0.0.1:5557"}).ms >= kDelayMs);

    // Slow calls overlap: the sleep happens outside the state lock. One after the other they would
    // take twice the delay.
    QProcess a;
    QProcess b;
    QElapsedTimer t;
    t.start();
    a.start(m_dir + "/dnconsole.exe", {"rename", "--index", "1", "--title", "a"});
    b.start(m_dir + "/dnconsole.exe", {"rename", "--index", "1", "--title", "b"});
    QVERIFY(a.waitForFinished(kWaitMs) && b.waitForFinished(kWaitMs));
    QVERIFY2(t.elapsed() < 2 * kDelayMs, QByteArray::number(t.elapsed()).constData());
}

void TestFarmSim::knobUnkillable()
{
    QVERIFY(!initFarm("ldplayer", 1).isEmpty());
    set({"bootDelayMs=0", "unkillable=true"});
    const qint64 pid = launchLd("0");
    QVERIFY(waitFor([&] { return adbDeviceState("127.0.0.1:5555", "device"); }));
    // Stop commands and SIGTERM do nothing.
    tool("dnconsole.exe", {"quit", "--index", "0"});
    ::kill(static_cast<pid_t>(pid), SIGTERM);
    QThread::msleep(300);
    QVERIFY(processAlive(pid));
    // Killed for real, it is still listed as running with its pid.
    ::kill(static_cast<pid_t>(pid), SIGKILL);
    QVERIFY(waitFor([&] { return !processAlive(pid); }));
    const QStringList line = list2Line(tool("dnconsole.exe", {"list2"}).out, "0");
    QCOMPARE(line.value(4), QStringLiteral("1"));
    QCOMPARE(line.value(5).toLongLong(), pid);
    QVERIFY(adbDeviceState("127.0.0.1:5555", "device"));
    // Clearing the knob shows the truth.
    set({"unkillable="});
    QCOMPARE(list2Line(tool("dnconsole.exe", {"list2"}).out, "0").value(4), QStringLiteral("0"));
}

void TestFarmSim::badInput()
{
    QVERIFY(farmsim({"init", "--product", "bluestacks", "--instances", "1", m_pTmp->filePath("x")}).code !=
            0);
    QVERIFY(farmsim({"init", "--product", "memu", "--instances", "-1", m_pTmp->filePath("x")}).code != 0);
    QVERIFY(farmsim({"help"}).out.contains("unkillable"));
    QVERIFY(!initFarm("ldplayer", 1).isEmpty());
    QVERIFY(farmsim({"set", m_dir, "nosuchknob=1"}).code != 0);
    QVERIFY(farmsim({"set", m_dir, "screencap=sometimes"}).code != 0);
    QVERIFY(farmsim({"set", m_dir, "--instance", "9", "hang=1"}).code != 0);
    // A comma in a title would break the listing's fields.
    QVERIFY(tool("dnconsole.exe", {"rename", "--index", "0", "--title", "a,b"}).code != 0);
    QCOMPARE(list2Line(tool("dnconsole.exe", {"list2"}).out, "0").size(), 7);
    QVERIFY(tool("dnconsole.exe", {"launch", "--index", "7"}).code != 0);
    // A tool copy without a farm says so instead of inventing one.
    QVERIFY(QFile::copy(m_dir + "/adb.exe", m_pTmp->filePath("adb.exe")));
    const Run lost = run(m_pTmp->filePath("adb.exe"), {"devices"});
    QVERIFY(lost.code != 0 && lost.err.contains("no farm"));
}

namespace {

QByteArray windowProperty(Display* pDisplay, Window w, const char* name)
{
    Atom type = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* pData = nullptr;
    const Atom prop = XInternAtom(pDisplay, name, False);
    if (XGetWindowProperty(pDisplay, w, prop, 0, 1024, False, AnyPropertyType, &type, &format, &count, &after,
                           &pData) != Success ||
        !pData)
        return {};
    QByteArray bytes(reinterpret_cast<const char*>(pData), static_cast<int>(count * (format / 8)));
    if (format == 32) // longs as the client library hands them out
        bytes = QByteArray(reinterpret_cast<const char*>(pData), static_cast<int>(count * sizeof(long)));
    XFree(pData);
    return bytes;
}

// The pid of the top-level window titled `title` with window class Qt5QWindowIcon, 0 when none.
qint64 findWindowPid(Display* pDisplay, const QString& title)
{
    Window root = 0;
    Window parent = 0;
    Window* pChildren = nullptr;
    unsigned int n = 0;
    if (!XQueryTree(pDisplay, DefaultRootWindow(pDisplay), &root, &parent, &pChildren, &n))
        return 0;
    qint64 pid = 0;
    for (unsigned int k = 0; k < n && pid == 0; ++k) {
        const QString name = QString::fromUtf8(windowProperty(pDisplay, pChildren[k], "_NET_WM_NAME"));
        const QByteArray cls = windowProperty(pDisplay, pChildren[k], "WM_CLASS");
        const QByteArray pidBytes = windowProperty(pDisplay, pChildren[k], "_NET_WM_PID");
        if (name == title && cls.contains("Qt5QWindowIcon") && pidBytes.size() >= int(sizeof(long)))
            pid = *reinterpret_cast<const long*>(pidBytes.constData());
    }
    if (pChildren)
        XFree(pChildren);
    return pid;
}

} // namespace

void TestFarmSim::memuWindowOnDisplay()
{
    Display* pDisplay = qEnvironmentVariableIsEmpty("DISPLAY") ? nullptr : XOpenDisplay(nullptr);
    if (!pDisplay)
        QSKIP("no reachable X display (the test command runs the suite under xvfb-run)");
    std::unique_ptr<Display, int (*)(Display*)> display(pDisplay, XCloseDisplay);
    QVERIFY(!initFarm("memu", 3).isEmpty());
    QProcess* pMEmu = startMEmu("MEmu_2");
    QVERIFY(pMEmu);
    const QString title = instanceStatus("MEmu_2").value("name").toString();
    qint64 pid = 0;
    QVERIFY(waitFor([&] { return (pid = findWindowPid(pDisplay, title)) != 0; }));
    QCOMPARE(pid, pMEmu->processId());
    // Switched off per instance, the instance runs without a window.
    set({"window=false"}, "MEmu_1");
    QProcess* pNoWindow = startMEmu("MEmu_1");
    QVERIFY(pNoWindow);
    QThread::msleep(500);
    QCOMPARE(findWindowPid(pDisplay, instanceStatus("MEmu_1").value("name").toString()), 0);

    // An LDPlayer instance shows its player window only when asked to.
    QVERIFY(!initFarm("ldplayer", 2).isEmpty());
    set({"ldWindow=true"}, "1");
    const qint64 shown = launchLd("1");
    const qint64 hidden = launchLd("0");
    QVERIFY(shown > 0 && hidden > 0);
    QVERIFY(waitFor(
        [&] { return findWindowPid(pDisplay, instanceStatus("1").value("name").toString()) == shown; }));
    QCOMPARE(findWindowPid(pDisplay, instanceStatus("0").value("name").toString()), 0);
}

QTEST_GUILESS_MAIN(TestFarmSim)
#include "tst_farmsim.moc"
