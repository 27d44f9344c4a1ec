// Launchers and their entry points against a simulated MEmu or LDPlayer farm: start and close
// sequences with their bookkeeping, delete/rename/create, install, run-state probes.
#include "farmfixture.h"
#include "launcherfactory.h"
#include "launchertuning.h"
#include "leidianlauncher.h"
#include "platform.h"
#include "simuinfoxmlgainer.h"
#include "simusettings.h"
#include "xiaoyaolauncher.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Product
{
    FarmFixture::Product type;
    QString idx; // an instance index of a fresh farm of 3
};

Product productRow()
{
    QFETCH(int, product);
    return product == FarmFixture::MEmu ? Product{FarmFixture::MEmu, "MEmu_1"}
                                        : Product{FarmFixture::LdPlayer, "1"};
}

void addProductRows()
{
    QTest::addColumn<int>("product");
    QTest::newRow("MEmu") << int(FarmFixture::MEmu);
    QTest::newRow("LDPlayer") << int(FarmFixture::LdPlayer);
}

// A farm whose instances boot at once and show no window.
bool initFarm(FarmFixture& farm, FarmFixture::Product product, int instances)
{
    return farm.init(product, instances) && farm.setKnob("bootDelayMs", "100") &&
           farm.setKnob("window", "false");
}

struSimuRecord storedRecord(const QString& idx)
{
    struSimuRecord rec;
    rec.memuIdx = idx;
    SimuSettings::loadSimuRecord(idx, rec);
    return rec;
}

void storeRecord(const QString& idx, int pid, int state, int time)
{
    struSimuRecord rec;
    rec.memuIdx = idx;
    rec.iPid = pid;
    rec.iState = state;
    rec.iTime = time;
    SimuSettings::storeSimuRecord(rec);
}

SimuInfo entryOf(const QString& idx)
{
    SimuInfo info;
    SimuInfoXmlGainer().GetSimuInfo(idx, info);
    return info;
}

qint64 farmPid(const FarmFixture& farm, const QString& idx)
{
    return farm.instanceStatus(idx).value("pid").toVariant().toLongLong();
}

} // namespace

class TestLaunchers : public QObject
{
    Q_OBJECT
private slots:
    void startSucceedsAndOutlivesLauncher_data() { addProductRows(); }
    void startSucceedsAndOutlivesLauncher();
    void startFailuresCleanUp_data() { addProductRows(); }
    void startFailuresCleanUp();
    void startWithoutWaits();
    void closeByStoredAndExplicitPid_data() { addProductRows(); }
    void closeByStoredAndExplicitPid();
    void closeWithoutPid();
    void killLoopGivesUp();
    void memuDeleteVerdicts();
    void memuRenameAndCreate();
    void ldRenameCreateDelete();
    void runningLists();
    void installThroughLauncher();
    void noProductEverywhere();
    void checkSimuPath();
    void ldRunState();
    void ldRunStateOddListing();
    void memuRunStateWithWindows();
};

void TestLaunchers::startSucceedsAndOutlivesLauncher()
{
    const Product p = productRow();
    FarmFixture farm;
    if (!initFarm(farm, p.type, 3))
        QSKIP(qPrintable(farm.error()));
    storeRecord(p.idx, 0, eStateStarting, 41);

    auto* pProcess = new QProcess;
    const CCommResult r = SimuStartup(p.idx, pProcess);
    delete pProcess; // the caller's object goes; the emulator must stay
    QCOMPARE(r.iRet, 0);
    QVERIFY(r.iExtraRet > 0);
    const struSimuRecord rec = storedRecord(p.idx);
    QCOMPARE(rec.iPid, r.iExtraRet);
    QCOMPARE(rec.iTime, 42);
    QCOMPARE(rec.iState, int(eStateStarting)); // the start does not touch the state
    QVERIFY(QFileInfo(SimuSettings::screenshotBakPath(p.idx)).size() > 0);

    QTest::qWait(200);
    QVERIFY(platform::processAlive(r.iExtraRet));
    QCOMPARE(farmPid(farm, p.idx), qint64(r.iExtraRet)); // the pid is the instance's own
    QVERIFY(farm.instanceStatus(p.idx).value("online").toBool());
}

void TestLaunchers::startFailuresCleanUp()
{
    const Product p = productRow();
    FarmFixture farm;
    if (!initFarm(farm, p.type, 3))
        QSKIP(qPrintable(farm.error()));
    SimuSettings::setValue("common/startupTimeout", 8);

    // adb never lists it: 58, then stop and kill.
    QVERIFY(farm.setKnob("bootFail", "true", p.idx));
    storeRecord(p.idx, 1234, eStateStarting, 7);
    CCommResult r = SimuStartup(p.idx, nullptr);
    QCOMPARE(r.iRet, 58);
    QCOMPARE(r.str, QStringLiteral("模拟器不在线"));
    QCOMPARE(r.iExtraRet, 0);
    struSimuRecord rec = storedRecord(p.idx);
    QCOMPARE(rec.iPid, 0);
    QCOMPARE(rec.iTime, 8);
    QVERIFY(farm.waitInstance(p.idx, "running", false, 5000));

    // It comes online but its screen stays blank: the screenshot code, with "无法截图".
    QVERIFY(farm.setKnob("bootFail", "", p.idx));
    QVERIFY(farm.setKnob("screencap", "blank", p.idx));
    r = SimuStartup(p.idx, nullptr);
    QCOMPARE(r.iRet, 51);
    QCOMPARE(r.str, QStringLiteral("无法截图"));
    rec = storedRecord(p.idx);
    QCOMPARE(rec.iPid, 0);
    QCOMPARE(rec.iTime, 9);
    QVERIFY(farm.waitInstance(p.idx, "running", false, 5000));

    // An instance that ignores the stop command is still killed.
    QVERIFY(farm.setKnob("unkillable", "true", p.idx));
    r = SimuStartup(p.idx, nullptr);
    QCOMPARE(r.iRet, 51);
    QCOMPARE(farm.killFarmProcesses(), 0);
}

void TestLaunchers::startWithoutWaits()
{
    FarmFixture farm;
    if (!initFarm(farm, FarmFixture::MEmu, 2))
        QSKIP(qPrintable(farm.error()));
    QVERIFY(farm.setKnob("bootFail", "true"));
    SimuSettings::setValue("common/startupTimeout", 0);
    QElapsedTimer t;
    t.start();
    const CCommResult r = SimuStartup("MEmu", nullptr);
    QCOMPARE(r.iRet, 0); // no adb or screen check at all
    QVERIFY(r.iExtraRet > 0);
    QVERIFY(t.elapsed() < 5000);
    QVERIFY(farm.waitInstance("MEmu", "running", true));
}

void TestLaunchers::closeByStoredAndExplicitPid()
{
    const Product p = productRow();
    FarmFixture farm;
    if (!initFarm(farm, p.type, 3))
        QSKIP(qPrintable(farm.error()));
    // The instance ignores the stop command, so only the kill of the stored pid ends it.
    QVERIFY(farm.setKnob("unkillable", "true", p.idx));
    CCommResult r = SimuStartup(p.idx, nullptr);
    QCOMPARE(r.iRet, 0);
    const int pid = r.iExtraRet;
    SimuSettings::setDaemonList({p.idx, "other"});
    r = SimuClose(p.idx, 0);
    // Its process is gone, yet the product still lists it as running: not closed.
    QCOMPARE(r.iRet, 59);
    QVERIFY(!platform::processAlive(pid));
    QCOMPARE(storedRecord(p.idx).iPid, 0);
    QCOMPARE(SimuSettings::getDaemonList(), QStringList({"other"}));

    // An explicit pid is killed and recorded as 0 in the instance's own record.
    QVERIFY(farm.setKnob("unkillable", "", p.idx));
    const QString other = p.type == FarmFixture::MEmu ? "MEmu_2" : "2";
    QVERIFY(farm.startInstance(other));
    const qint64 otherPid = farmPid(farm, other);
    QVERIFY(otherPid > 0);
    storeRecord(other, 999999, eStateRunning, 3);
    r = SimuClose(other, int(otherPid));
    QCOMPARE(r.iRet, 0);
    QVERIFY(!platform::processAlive(otherPid));
    QCOMPARE(storedRecord(other).iPid, 0);
    QCOMPARE(storedRecord(other).iTime, 3);
}

void TestLaunchers::closeWithoutPid()
{
    FarmFixture farm;
    if (!initFarm(farm, FarmFixture::MEmu, 2))
        QSKIP(qPrintable(farm.error()));
    QVERIFY(farm.startInstance("MEmu"));
    SimuSettings::addDaemon("MEmu");
    // No pid given or stored: the stop command alone, and the instance leaves the watch list.
    const CCommResult r = SimuClose("MEmu", 0);
    QCOMPARE(r.iRet, 0);
    QVERIFY(SimuSettings::getDaemonList().isEmpty());
    QVERIFY(farm.waitInstance("MEmu", "running", false, 5000));
}

void TestLaunchers::killLoopGivesUp()
{
    FarmFixture farm;
    if (!initFarm(farm, FarmFixture::LdPlayer, 1))
        QSKIP(qPrintable(farm.error()));
    // No kill ends this process (the platform never kills its caller): every attempt fails.
    LeiDianLauncher launcher("0");
    QElapsedTimer t;
    t.start();
    const CCommResult r = launcher.CloseSimuProcess(int(QCoreApplication::applicationPid()));
    QCOMPARE(r.iRet, 59);
    QCOMPARE(r.str, QStringLiteral("关闭模拟器失败"));
    QVERIFY(t.elapsed() >= SimulatorAbsLauncher::kCloseAttempts * FarmFixture::kSleepStepMs);
    // A process that is already gone is closed at the first look.
    QCOMPARE(launcher.CloseSimuProcess(0).iRet, 0);
}

void TestLaunchers::memuDeleteVerdicts()
{
    FarmFixture farm;
    if (!initFarm(farm, FarmFixture::MEmu, 3))
        QSKIP(qPrintable(farm.error()));
    CCommResult r = SimuDelete(entryOf("MEmu_2"));
    QCOMPARE(r.iRet, 0);
    QVERIFY(!QFileInfo::exists(farm.memuFile("MEmu_2")));

    QVERIFY(farm.setKnob("deleteLocked", "true", "MEmu_1"));
    r = SimuDelete(entryOf("MEmu_1"));
    QCOMPARE(r.iRet, 26);
    QCOMPARE(r.str, QStringLiteral("模拟器被锁定"));
    QCOMPARE(r.log, QStringLiteral("模拟器被锁定"));

    SimuInfo gone;
    gone.setIdx("MEmu_7");
    r = SimuDelete(gone);
    QCOMPARE(r.iRet, 26);
    QCOMPARE(r.str, QStringLiteral("模拟关闭失败"));
    QCOMPARE(r.log, QStringLiteral("模拟器关闭进程未到100%"));
}

void TestLaunchers::memuRenameAndCreate()
{
    FarmFixture farm;
    if (!initFarm(farm, FarmFixture::MEmu, 2))
        QSKIP(qPrintable(farm.error()));
    const CCommResult r = SimuRename("MEmu_1", "New");
    QCOMPARE(r.iRet, 69);
    QCOMPARE(r.str, QStringLiteral("暂不支持逍遥模拟器重命名"));

    QCOMPARE(SimuCreate(SimuInfo()).iRet, 0);
    QVector<SimuInfo> infos;
    QCOMPARE(SimuInfoXmlGainer().GetSimusInfo(infos).iRet, 0);
    QCOMPARE(infos.size(), 3);
    // The instance console stays open after the call (the fixture ends it).
    QTRY_VERIFY_WITH_TIMEOUT(!platform::pidsByImageName("MemuConsole.exe").empty(), 5000);
    QVERIFY(farm.killFarmProcesses() > 0);
}

void TestLaunchers::ldRenameCreateDelete()
{
    FarmFixture farm;
    if (!initFarm(farm, FarmFixture::LdPlayer, 4))
        QSKIP(qPrintable(farm.error()));
    // The title goes to the tool as it is, blanks included.
    CCommResult r = SimuRename("3", "My Phone 3");
    QCOMPARE(r.iRet, 0);
    QCOMPARE(entryOf("3").name(), QStringLiteral("My Phone 3"));

    QCOMPARE(SimuCreate(SimuInfo()).iRet, 0);
    QCOMPARE(entryOf("4").idx(), QStringLiteral("4"));
    QCOMPARE(SimuDelete(entryOf("2")).iRet, 0);
    QVector<SimuInfo> infos;
    SimuInfoXmlGainer().GetSimusInfo(infos);
    QStringList idxs;
    for (const SimuInfo& i : qAsConst(infos))
        idxs << i.idx();
    QCOMPARE(idxs, QStringList({"0", "1", "3", "4"}));
}

void TestLaunchers::runningLists()
{
    QCOMPARE(XiaoYaoLauncher::runningVmIndex("\"MEmu_2\" {0b7c-11}"), QStringLiteral("MEmu_2"));
    QCOMPARE(XiaoYaoLauncher::runningVmIndex("\"MEmu_2\""), QString());
    QCOMPARE(XiaoYaoLauncher::runningVmIndex(" x"), QString());

    for (const FarmFixture::Product type : {FarmFixture::MEmu, FarmFixture::LdPlayer}) {
        FarmFixture farm;
        if (!initFarm(farm, type, 3))
            QSKIP(qPrintable(farm.error()));
        const QStringList want =
            type == FarmFixture::MEmu ? QStringList{"MEmu", "MEmu_2"} : QStringList{"0", "2"};
        for (const QString& idx : want)
            QVERIFY(farm.startInstance(idx));
        QStringList running;
        QCOMPARE(SimuListRunning(running).iRet, 0);
        QCOMPARE(running, want);
    }
}

void TestLaunchers::installThroughLauncher()
{
    FarmFixture farm;
    if (!initFarm(farm, FarmFixture::LdPlayer, 3))
        QSKIP(qPrintable(farm.error()));
    const QString apk = farm.rootDir() + "/game.apk";
    QFile f(apk);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write("PK-apk") > 0);
    f.close();
    QVERIFY(farm.startInstance("1"));
    QVERIFY(farm.waitInstance("1", "online", true));
    CCommResult r = SimuInstallApk("1", 5557, apk);
    QCOMPARE(r.iRet, 0);
    QCOMPARE(r.str, QStringLiteral("安装成功"));

    QVERIFY(farm.setKnob("bootDelayMs", "600000", "2"));
    QVERIFY(farm.startInstance("2"));
    r = SimuInstallApk("2", 5559, apk);
    QCOMPARE(r.iRet, 57);
    QCOMPARE(r.str, QStringLiteral("设备不在线"));
    QCOMPARE(SimuInstallApk("0", 5555, apk).iRet, 25); // not running: connect fails
}

void TestLaunchers::noProductEverywhere()
{
    FarmFixture farm;
    if (!initFarm(farm, FarmFixture::MEmu, 2))
        QSKIP(qPrintable(farm.error()));
    SimuSettings::setSimuType(0);
    const SimuInfo info = SimuInfo();
    QStringList list;
    int pid = 5;
    const QList<CCommResult> results = {SimuStartup("MEmu", nullptr),
                                        SimuClose("MEmu", 0),
                                        SimuShutdown("MEmu"),
                                        SimuInstallApk("MEmu", 21503, "x.apk"),
                                        SimuListRunning(list),
                                        SimuCreate(info),
                                        SimuDelete(info),
                                        SimuRename("MEmu", "x")};
    for (const CCommResult& r : results) {
        QCOMPARE(r.iRet, kNoLauncherCode);
        QCOMPARE(r.str, QStringLiteral("启动器没有对象"));
    }
    QCOMPARE(SimuRunState(info, pid), kNoLauncherCode);
    QCOMPARE(pid, 5);
    std::unique_ptr<SimulatorAbsLauncher> launcher;
    QCOMPARE(CreateLauncher(3, "MEmu", launcher).iRet, 62);
    QVERIFY(!launcher);
    QCOMPARE(farm.instanceStatus("MEmu").value("running").toBool(), false);
}

void TestLaunchers::checkSimuPath()
{
    FarmFixture farm;
    if (!initFarm(farm, FarmFixture::MEmu, 1))
        QSKIP(qPrintable(farm.error()));
    std::unique_ptr<SimulatorAbsLauncher> memu;
    std::unique_ptr<SimulatorAbsLauncher> ld;
    QCOMPARE(CreateLauncher(1, QString(), memu).iRet, 0);
    QCOMPARE(CreateLauncher(2, QString(), ld).iRet, 0);
    QCOMPARE(memu->CheckSimuPath(farm.installDir()).iRet, 0);
    QCOMPARE(memu->CheckSimuPath(farm.rootDir()).str,
             QStringLiteral("逍遥模拟器路径设置不正确,无法找到对应的模拟器。"));
    const CCommResult r = ld->CheckSimuPath(farm.installDir());
    QCOMPARE(r.iRet, 65);
    QCOMPARE(r.str, QStringLiteral("雷电模拟器路径设置不正确,无法找到对应的模拟器。"));
    QCOMPARE(FindMEmuDir(), QString()); // no system records on this OS
    QCOMPARE(FindLdPlayerDir(), QString());
}

void TestLaunchers::ldRunState()
{
    FarmFixture farm;
    if (!initFarm(farm, FarmFixture::LdPlayer, 4))
        QSKIP(qPrintable(farm.error()));
    QVERIFY(farm.startInstance("2"));
    QVERIFY(farm.waitInstance("2", "online", true));
    int pid = 0;
    QCOMPARE(SimuRunState(entryOf("2"), pid), int(eRunStateRunning));
    QCOMPARE(qint64(pid), farmPid(farm, "2"));

    // Listed as running but adb does not list it: state 1. While the process is younger than a
    // start's adb wait it may still be booting and is left running; once older it is closed.
    const qint64 listed = pid;
    QVERIFY(farm.setKnob("bootFail", "true", "2"));
    QVERIFY(platform::processAgeMs(listed) < LauncherTuning::bootGraceMs() - 1000);
    pid = 0;
    QCOMPARE(SimuRunState(entryOf("2"), pid), int(eRunStateStopped));
    QCOMPARE(qint64(pid), listed);
    QVERIFY(platform::processAlive(listed));
    QTRY_VERIFY_WITH_TIMEOUT(platform::processAgeMs(listed) > LauncherTuning::bootGraceMs(), 10000);
    pid = 0;
    QCOMPARE(SimuRunState(entryOf("2"), pid), int(eRunStateStopped));
    QCOMPARE(qint64(pid), listed);
    QVERIFY(farm.waitInstance("2", "running", false, 5000));
    QVERIFY(!platform::processAlive(listed));

    // Not running: no adb check; a listing without the index leaves the pid alone.
    QCOMPARE(SimuRunState(entryOf("3"), pid), int(eRunStateStopped));
    pid = 77;
    SimuInfo missing;
    missing.setIdx("9");
    QCOMPARE(SimuRunState(missing, pid), int(eRunStateStopped));
    QCOMPARE(pid, 77);
}

void TestLaunchers::ldRunStateOddListing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString tool = dir.path() + "/dnconsole.exe";
    QFile f(tool);
    QVERIFY(f.open(QIODevice::WriteOnly));
    // Short lines count as not listed; an empty title keeps its place.
    f.write("#!/bin/sh\nprintf '5,LD-5,0,0,1\\r\\n6,LD-6\\r\\n7,,0,0,1,70,80\\r\\n'\n");
    f.close();
    QVERIFY(QFile::setPermissions(tool, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QTemporaryDir home;
    SimuSettings::setDataDir(home.path());
    SimuSettings::setSimuType(2);
    SimuSettings::setDir(dir.path());
    SimuSettings::setValue("tuning/sleepStepMs", 10);

    SimuInfo info;
    info.setIdx("5");
    int pid = 33;
    QCOMPARE(SimuRunState(info, pid), int(eRunStateStopped));
    QCOMPARE(pid, 33);
    info.setIdx("6");
    QCOMPARE(SimuRunState(info, pid), int(eRunStateStopped));
    QCOMPARE(pid, 33);
    QStringList running;
    QCOMPARE(SimuListRunning(running).iRet, 0);
    QCOMPARE(running, QStringList({"7"}));

    // A rename that the tool takes without doing it, or that never runs, is not reported as done.
    CCommResult r = SimuRename("7", "LD-7b");
    QCOMPARE(r.iRet, 81);
    QVERIFY2(r.log.contains("still shows"), qPrintable(r.log));
    QVERIFY(QFile::remove(tool));
    r = SimuRename("7", "LD-7b");
    QCOMPARE(r.iRet, 81);
    QVERIFY2(r.log.contains("could not be started"), qPrintable(r.log));
}

void TestLaunchers::memuRunStateWithWindows()
{
    XvfbServer x;
    if (!x.start())
        QSKIP(qPrintable(x.error()));
    FarmFixture farm;
    if (!farm.init(FarmFixture::MEmu, 3) || !farm.setKnob("bootDelayMs", "100"))
        QSKIP(qPrintable(farm.error()));
    QVERIFY(farm.startInstance("MEmu_1"));
    QVERIFY(farm.waitInstance("MEmu_1", "online", true));
    const qint64 instancePid = farmPid(farm, "MEmu_1");
    const SimuInfo info = entryOf("MEmu_1");
    QCOMPARE(info.name(), QStringLiteral("Farm-1"));
    int pid = 0;
    QTRY_COMPARE_WITH_TIMEOUT(SimuRunState(info, pid), int(eRunStateRunning), 10000);
    QCOMPARE(qint64(pid), instancePid);

    QVERIFY(farm.setKnob("hang", "true", "MEmu_1"));
    QVERIFY(farm.waitInstance("MEmu_1", "hung", true));
    pid = 0;
    QCOMPARE(SimuRunState(info, pid), int(eRunStateHung));
    QCOMPARE(qint64(pid), instancePid);

    // A window whose instance is not reachable over adb, and no window at all.
    QVERIFY(farm.setKnob("hang", "false", "MEmu_1"));
    QVERIFY(farm.setKnob("bootFail", "true", "MEmu_1"));
    QTRY_COMPARE_WITH_TIMEOUT(SimuRunState(info, pid), int(eRunStateStopped), 10000);
    QCOMPARE(qint64(pid), instancePid);
    pid = 0;
    QCOMPARE(SimuRunState(entryOf("MEmu_2"), pid), int(eRunStateStopped));
    QCOMPARE(pid, 0);
}

QTEST_GUILESS_MAIN(TestLaunchers)
#include "tst_launchers.moc"
