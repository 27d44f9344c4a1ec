// The watchdog against a simulated farm: instances started by hand, lost instances in normal and
// daemon mode, restarts of watched instances with their failure count, the kill of a lingering
// unreachable instance, the modes that skip the daemon pass, passes while nobody is signed in, and
// instances that belong to an operation under way (booting for several passes, queued in a group),
// and instances started by hand that boot for several watchdog periods (real timing), and listing
// lines forged through a title that name processes the watchdog must not kill.
#include "farmfixture.h"
#include "launchertuning.h"
#include "loginret.h"
#include "messagecatcher.h"
#include "operloggerobj.h"
#include "platform.h"
#include "simudaemonobj.h"
#include "simuinfo.h"
#include "simuinfoxmlgainer.h"
#include "simusettings.h"

#include <QMutex>
#include <QProcess>
#include <QScopeGuard>
#include <QtTest>

#include <signal.h>

namespace {

constexpr int kRestartWaitMs = 30000;

SimuInfo infoOf(const QString& idx)
{
    SimuInfo info;
    SimuInfoXmlGainer().GetSimuInfo(idx, info);
    return info;
}

struSimuRecord recordOf(const QString& idx)
{
    struSimuRecord rec;
    rec.memuIdx = idx;
    SimuSettings::loadSimuRecord(idx, rec);
    return rec;
}

void setRecord(const QString& idx, int state, int pid, int restErrCnt = 0)
{
    SimuSettings::updateSimuRecord(idx, [&](struSimuRecord& rec) {
        rec.iState = state;
        rec.iPid = pid;
        rec.iTime = 1700000000;
        rec.iRestErrCnt = restErrCnt;
    });
}

} // namespace

class TstSimuDaemon : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void newInstanceWithinRunLimitIsAccepted();
    void newInstanceOverRunLimitIsClosed();
    void lostInstanceInNormalModeIsRecordedClosed();
    void lostInstanceInDaemonModeIsRestarted_data();
    void lostInstanceInDaemonModeIsRestarted();
    void watchedInstanceIsGivenUpAfterThreeFailedRestarts();
    void operationUnderWayIsLeftAlone_data();
    void operationUnderWayIsLeftAlone();
    void hungWatchedInstanceIsKilledBeforeItsRestart_data();
    void hungWatchedInstanceIsKilledBeforeItsRestart();
    void restartSuccessResetsTheFailureCount();
    void slowRestartHoldsUpNoOtherCheck();
    void lingeringUnreachableInstanceIsKilled();
    void forgedListingLinesKillNothing_data();
    void forgedListingLinesKillNothing();
    void normalModeStartsNothing();
    void neverSavedModeRunsOneDaemonPassOnly();
    void passesPauseWhileNobodyIsSignedIn();
    void chainRunsOnItsThreadAndStopsWithIt();
    void handStartedInstancesBootOverSeveralPeriods_data();
    void handStartedInstancesBootOverSeveralPeriods();
    void passListsTheProductOnceForAllInstances();

private:
    bool makeFarm(FarmFixture::Product product, int instances);
    // MEmu instances are found by their windows: a display is needed.
    bool ensureDisplay();
    int farmPid(const QString& idx) const;
    void onePass(SimuDaemonObj& daemon);
    // Runs a pass and waits for the restarts it began.
    template <typename Pass> void settle(SimuDaemonObj& daemon, Pass pass);
    // Waits until the process is older than the boot grace, so that it is judged at once.
    static bool waitPastBootGrace(int pid);
    QStringList logLines();

    QTemporaryDir m_logDir;
    QMutex m_logMutex; // the watchdog may log from its own thread
    std::unique_ptr<FarmFixture> m_pFarm;
    std::unique_ptr<XvfbServer> m_pXvfb;
    OperLoggerObj* m_pLogger = nullptr;
    QStringList m_log;
    int m_stateWhileRestarting = 0;
};

void TstSimuDaemon::initTestCase()
{
    FARMSIM_OR_SKIP();
    m_pLogger = new OperLoggerObj(m_logDir.path(), this);
    OperLoggerObj::setInstance(m_pLogger);
    // Every line the watchdog logs, and the stored state at the moment a lost instance's restart is
    // announced.
    connect(
        m_pLogger, &OperLoggerObj::sigBeginMsgHandler, this,
        [this](int, int, QString line, QByteArray) {
            QMutexLocker lock(&m_logMutex);
            m_log.append(line);
            if (line.endsWith(QStringLiteral("异常关闭，将重新启动，请耐心等待...")))
                m_stateWhileRestarting = recordOf(QStringLiteral("0")).iState;
        },
        Qt::DirectConnection);
}

void TstSimuDaemon::init()
{
    m_log.clear();
    m_stateWhileRestarting = 0;
    CLoginRet login;
    login.strUserName = QStringLiteral("alice");
    LoginRecord::set(login);
}

void TstSimuDaemon::cleanup()
{
    m_pFarm.reset();
    LoginRecord::clear();
}

bool TstSimuDaemon::makeFarm(FarmFixture::Product product, int instances)
{
    m_pFarm = std::make_unique<FarmFixture>();
    if (!m_pFarm->init(product, instances)) {
        qWarning() << m_pFarm->error();
        return false;
    }
    m_pFarm->setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("0"));
    SimuSettings::setValue(QStringLiteral("common/checkTimeSpan"), 0);
    SimuSettings::setValue(QStringLiteral("common/startupTimeout"), 10); // 10 polls of 50 ms
    SimuSettings::setRunLimit(3);
    SimuSettings::setDaemonModel(0);
    return true;
}

bool TstSimuDaemon::ensureDisplay()
{
    if (!qEnvironmentVariableIsEmpty("DISPLAY"))
        return true;
    m_pXvfb = std::make_unique<XvfbServer>();
    if (m_pXvfb->start())
        return true;
    qWarning().noquote() << m_pXvfb->error();
    m_pXvfb.reset();
    return false;
}

int TstSimuDaemon::farmPid(const QString& idx) const
{
    return m_pFarm->instanceStatus(idx).value(QStringLiteral("pid")).toInt();
}

bool TstSimuDaemon::waitPastBootGrace(int pid)
{
    QDeadlineTimer deadline(LauncherTuning::bootGraceMs() + 5000);
    while (platform::processAgeMs(pid) <= LauncherTuning::bootGraceMs() && !deadline.hasExpired())
        QTest::qWait(20);
    return platform::processAgeMs(pid) > LauncherTuning::bootGraceMs();
}

QStringList TstSimuDaemon::logLines()
{
    QMutexLocker lock(&m_logMutex);
    return m_log;
}

// One check pass: without InitDaemon the pass schedules nothing after itself.
void TstSimuDaemon::onePass(SimuDaemonObj& daemon)
{
    if (daemon.isStopped())
        settle(daemon, [&] { daemon.slStartupDaemonList(); });
    settle(daemon, [&] { daemon.slSimusStateCheck(); });
}

template <typename Pass> void TstSimuDaemon::settle(SimuDaemonObj& daemon, Pass pass)
{
    // Restarts run on threads of their own: a pass is over when they have ended too.
    pass();
    QVERIFY(daemon.waitRestarts(kRestartWaitMs));
}

void TstSimuDaemon::newInstanceWithinRunLimitIsAccepted()
{
    QVERIFY(makeFarm(FarmFixture::LdPlayer, 3));
    QVERIFY(m_pFarm->startInstance(QStringLiteral("0")));
    QVERIFY(m_pFarm->waitInstance(QStringLiteral("0"), QStringLiteral("online"), true));
    SimuSettings::setRunningList({QStringLiteral("1"), QStringLiteral("2")}); // two others run
    SimuDaemonObj daemon;
    onePass(daemon);

    const QString name = infoOf(QStringLiteral("0")).name();
    QCOMPARE(m_log, QStringList{SimuDaemonObj::msgNewInstance(name)});
    const struSimuRecord rec = recordOf(QStringLiteral("0"));
    QCOMPARE(rec.iState, 1);
    QCOMPARE(rec.iTime, -1);
    QCOMPARE(rec.iPid, farmPid(QStringLiteral("0")));
    QVERIFY(rec.iPid > 0);
    QVERIFY(SimuSettings::getDaemonList().isEmpty()); // normal mode watches nothing

    // Known now: the next pass leaves it alone.
    m_log.clear();
    onePass(daemon);
    QVERIFY(m_log.isEmpty());
}

void TstSimuDaemon::newInstanceOverRunLimitIsClosed()
{
    QVERIFY(makeFarm(FarmFixture::LdPlayer, 3));
    SimuSettings::setRunLimit(2);
    QVERIFY(m_pFarm->startInstance(QStringLiteral("0")));
    QVERIFY(m_pFarm->waitInstance(QStringLiteral("0"), QStringLiteral("online"), true));
    SimuSettings::setRunningList({QStringLiteral("1"), QStringLiteral("2")});
    SimuDaemonObj daemon;
    onePass(daemon);

    const QString name = infoOf(QStringLiteral("0")).name();
    QCOMPARE(m_log,
             (QStringList{SimuDaemonObj::msgOverRunLimit(name), SimuDaemonObj::msgClosedForRunLimit(name)}));
    QVERIFY(m_pFarm->waitInstance(QStringLiteral("0"), QStringLiteral("running"), false, 5000));
    QCOMPARE(recordOf(QStringLiteral("0")).iState, -1);

    // An instance already counted in the running list does not count twice.
    m_log.clear();
    SimuSettings::setRunningList({QStringLiteral("0"), QStringLiteral("1")});
    QVERIFY(m_pFarm->startInstance(QStringLiteral("0")));
    QVERIFY(m_pFarm->waitInstance(QStringLiteral("0"), QStringLiteral("online"), true));
    onePass(daemon);
    QCOMPARE(m_log, QStringList{SimuDaemonObj::msgNewInstance(name)});
}

void TstSimuDaemon::lostInstanceInNormalModeIsRecordedClosed()
{
    QVERIFY(makeFarm(FarmFixture::LdPlayer, 1));
    setRecord(QStringLiteral("0"), 1, 4242, 2);
    SimuDaemonObj daemon;
    onePass(daemon);

    QCOMPARE(m_log, QStringList{SimuDaemonObj::msgLost(infoOf(QStringLiteral("0")).name())});
    const struSimuRecord rec = recordOf(QStringLiteral("0"));
    QCOMPARE(rec.iState, -1);
    QCOMPARE(rec.iPid, 0);
    QCOMPARE(rec.iTime, -1);
    QCOMPARE(rec.iRestErrCnt, 2); // only the daemon pass counts restarts
    QVERIFY(!m_pFarm->instanceStatus(QStringLiteral("0")).value(QStringLiteral("running")).toBool());
}

void TstSimuDaemon::lostInstanceInDaemonModeIsRestarted_data()
{
    QTest::addColumn<bool>("bootFails");
    QTest::newRow("restart succeeds") << false;
    QTest::newRow("restart fails") << true;
}

void TstSimuDaemon::lostInstanceInDaemonModeIsRestarted()
{
    QFETCH(bool, bootFails);
    QVERIFY(makeFarm(FarmFixture::LdPlayer, 1));
    SimuSettings::setDaemonModel(2);
    if (bootFails)
        m_pFarm->setKnob(QStringLiteral("bootFail"), QStringLiteral("true"));
    setRecord(QStringLiteral("0"), 1, 4242);
    SimuDaemonObj daemon;
    onePass(daemon);

    const QString name = infoOf(QStringLiteral("0")).name();
    QCOMPARE(m_stateWhileRestarting, 2);
    const struSimuRecord rec = recordOf(QStringLiteral("0"));
    QCOMPARE(rec.iTime, -1);
    if (bootFails) {
        QCOMPARE(m_log, (QStringList{SimuDaemonObj::msgLost(name), SimuDaemonObj::msgLostRestarting(name),
                                     SimuDaemonObj::msgLostRestartFailed(name)}));
        QCOMPARE(rec.iState, -1);
        QCOMPARE(rec.iPid, 0);
    } else {
        QCOMPARE(m_log, (QStringList{SimuDaemonObj::msgLost(name), SimuDaemonObj::msgLostRestarting(name),
                                     SimuDaemonObj::msgLostRestarted(name)}));
        QCOMPARE(rec.iState, 1);
        QCOMPARE(rec.iPid, farmPid(QStringLiteral("0")));
        QVERIFY(rec.iPid > 0);
    }
}

// A restart waits for a whole boot; the passes meanwhile go on judging the other instances.
void TstSimuDaemon::slowRestartHoldsUpNoOtherCheck()
{
    QVERIFY(makeFarm(FarmFixture::LdPlayer, 2));
    SimuSettings::setDaemonModel(2);
    SimuSettings::setValue(QStringLiteral("tuning/sleepStepMs"), 200);
    SimuSettings::setValue(QStringLiteral("common/startupTimeout"), 60); // 12 s
    QVERIFY(m_pFarm->setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("6000"), QStringLiteral("0")));
    setRecord(QStringLiteral("0"), 1, 4242);
    SimuDaemonObj daemon;
    settle(daemon, [&] { daemon.slStartupDaemonList(); });
    QElapsedTimer clock;
    clock.start();
    daemon.slSimusStateCheck();
    QCOMPARE(daemon.restartsUnderWay(), 1);
    // Another instance found lost while the first still boots: the next pass judges it at once.
    setRecord(QStringLiteral("1"), 1, 4243);
    daemon.slSimusStateCheck();
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(logLines().contains(SimuDaemonObj::msgLost(infoOf(QStringLiteral("1")).name())));
    QVERIFY(daemon.restartsUnderWay() >= 1);
    QVERIFY(daemon.waitRestarts(kRestartWaitMs));
    QCOMPARE(recordOf(QStringLiteral("0")).iState, 1);
    QCOMPARE(recordOf(QStringLiteral("1")).iState, 1);
}

void TstSimuDaemon::watchedInstanceIsGivenUpAfterThreeFailedRestarts()
{
    QVERIFY(makeFarm(FarmFixture::LdPlayer, 2));
    SimuSettings::setDaemonModel(2);
    SimuSettings::setDaemonList({QStringLiteral("0"), QStringLiteral("1")});
    m_pFarm->setKnob(QStringLiteral("bootFail"), QStringLiteral("true"), QStringLiteral("0"));
    m_pFarm->setKnob(QStringLiteral("bootFail"), QStringLiteral("true"), QStringLiteral("1"));
    setRecord(QStringLiteral("0"), -1, 0);
    setRecord(QStringLiteral("1"), -1, 0, 1); // one failure already behind it
    const QString name = infoOf(QStringLiteral("0")).name();
    SimuDaemonObj daemon;

    for (int failures = 1; failures <= 3; ++failures) {
        m_log.clear();
        settle(daemon, [&] { daemon.runDaemonPass(); });
        QVERIFY(m_log.contains(SimuDaemonObj::msgWatchedClosed(name)));
        QVERIFY(m_log.contains(SimuDaemonObj::msgWatchedRestartFailed(name)));
        const struSimuRecord rec = recordOf(QStringLiteral("0"));
        QCOMPARE(rec.iRestErrCnt, failures);
        QCOMPARE(rec.iState, -1);
        QCOMPARE(rec.iPid, 0);
        QVERIFY(SimuSettings::getDaemonList().contains(QStringLiteral("0")));
    }
    // "1" started with one failure, so it was given up at the third pass already.
    QVERIFY(!SimuSettings::getDaemonList().contains(QStringLiteral("1")));

    // A whole check pass: the daemon pass gives it up, and nothing else starts it again (the
    // instance check sees a stopped instance that the agent believes stopped).
    m_log.clear();
    settle(daemon, [&] { daemon.slSimusStateCheck(); });
    QCOMPARE(m_log, (QStringList{SimuDaemonObj::msgWatchedClosed(name), SimuDaemonObj::msgGivenUp(name, 3)}));
    QVERIFY(m_log.at(1).contains(QStringLiteral("已经3次")));
    QVERIFY(SimuSettings::getDaemonList().isEmpty());
    const struSimuRecord rec = recordOf(QStringLiteral("0"));
    QCOMPARE(rec.iRestErrCnt, 0);
    QCOMPARE(rec.iState, -1);
    QCOMPARE(rec.iPid, 0);
    QCOMPARE(recordOf(QStringLiteral("1")).iState, -1);

    m_log.clear();
    settle(daemon, [&] { daemon.slSimusStateCheck(); });
    QVERIFY(m_log.isEmpty()); // no longer watched, and known to be stopped
    QVERIFY(!m_pFarm->instanceStatus(QStringLiteral("0")).value(QStringLiteral("running")).toBool());
}

void TstSimuDaemon::operationUnderWayIsLeftAlone_data()
{
    QTest::addColumn<int>("product");
    QTest::addColumn<int>("daemonModel");
    QTest::newRow("MEmu normal") << int(FarmFixture::MEmu) << 0;
    QTest::newRow("MEmu daemon") << int(FarmFixture::MEmu) << 2;
    QTest::newRow("LDPlayer normal") << int(FarmFixture::LdPlayer) << 0;
    QTest::newRow("LDPlayer daemon") << int(FarmFixture::LdPlayer) << 2;
}

// A command has marked its instances: one boots for longer than the passes below take (running,
// not yet reachable over adb), the others wait their turn in the group, stopped. For every state
// that says an operation is under way, whole passes (on the watch list too) neither log, nor store,
// nor kill, nor start anything.
void TstSimuDaemon::operationUnderWayIsLeftAlone()
{
    QFETCH(int, product);
    QFETCH(int, daemonModel);
    if (product == FarmFixture::MEmu && !ensureDisplay())
        QSKIP("no X server for the MEmu window probe");
    QVERIFY(makeFarm(FarmFixture::Product(product), 3));
    SimuSettings::setDaemonModel(daemonModel);
    const QStringList idx = m_pFarm->indexes();
    SimuSettings::setDaemonList(idx);
    m_pFarm->setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("600000"));
    QVERIFY(m_pFarm->startInstance(idx[0]));
    const int bootingPid = farmPid(idx[0]);
    QVERIFY(bootingPid > 0);
    if (product == FarmFixture::MEmu) // the probe must see its window, or it would not look further
        QTRY_VERIFY_WITH_TIMEOUT(platform::findTopLevelWindow("", infoOf(idx[0]).name().toStdString()).found,
                                 10000);

    SimuDaemonObj daemon;
    for (const int state :
         {int(eStateStarting), int(eStateClosing), int(eStateInstalling), int(eStateDeleting)}) {
        for (const QString& i : qAsConst(idx)) {
            SimuSettings::updateSimuRecord(i, [&](struSimuRecord& rec) {
                rec.iState = state;
                rec.iTime = 1700000000;
                rec.iPid = 0;
            });
        }
        onePass(daemon);
        onePass(daemon);
        QVERIFY2(m_log.isEmpty(), qPrintable(m_log.join(QLatin1Char('\n'))));
        for (const QString& i : qAsConst(idx)) {
            const struSimuRecord rec = recordOf(i);
            QCOMPARE(rec.iState, state);
            QCOMPARE(rec.iTime, 1700000000);
        }
        QVERIFY(platform::processAlive(bootingPid));
        QCOMPARE(farmPid(idx[0]), bootingPid);
        QVERIFY(!m_pFarm->instanceStatus(idx[1]).value(QStringLiteral("running")).toBool());
        QVERIFY(!m_pFarm->instanceStatus(idx[2]).value(QStringLiteral("running")).toBool());
    }
    QCOMPARE(SimuSettings::getDaemonList(), idx);
}

void TstSimuDaemon::hungWatchedInstanceIsKilledBeforeItsRestart_data()
{
    QTest::addColumn<int>("product");
    QTest::newRow("MEmu") << int(FarmFixture::MEmu);
    QTest::newRow("LDPlayer") << int(FarmFixture::LdPlayer);
}

// A watched instance hangs (its process stopped). The daemon pass restarts it, and the hung process
// is gone first: the stored pid is that of the one instance process that runs.
void TstSimuDaemon::hungWatchedInstanceIsKilledBeforeItsRestart()
{
    QFETCH(int, product);
    if (product == FarmFixture::MEmu && !ensureDisplay())
        QSKIP("no X server for the MEmu window probe");
    QVERIFY(makeFarm(FarmFixture::Product(product), 1));
    SimuSettings::setDaemonModel(2);
    const QString idx = m_pFarm->indexes().at(0);
    QVERIFY(m_pFarm->startInstance(idx));
    QVERIFY(m_pFarm->waitInstance(idx, QStringLiteral("online"), true));
    const int hungPid = farmPid(idx);
    setRecord(idx, eStateRunning, 0); // as the start-up scan leaves one it found running: no pid
    SimuSettings::setDaemonList({idx});
    if (product == FarmFixture::MEmu)
        QTRY_VERIFY_WITH_TIMEOUT(platform::findTopLevelWindow("", infoOf(idx).name().toStdString()).found,
                                 10000);
    QVERIFY(waitPastBootGrace(hungPid)); // hung, not booting
    QCOMPARE(::kill(pid_t(hungPid), SIGSTOP), 0);
    QVERIFY(m_pFarm->waitInstance(idx, QStringLiteral("hung"), true));

    SimuDaemonObj daemon;
    onePass(daemon);
    const QString name = infoOf(idx).name();
    QVERIFY2(m_log.contains(SimuDaemonObj::msgWatchedRestarted(name)),
             qPrintable(m_log.join(QLatin1Char('\n'))));
    QTRY_VERIFY_WITH_TIMEOUT(!platform::processAlive(hungPid), 5000);
    const struSimuRecord rec = recordOf(idx);
    QCOMPARE(rec.iState, int(eStateRunning));
    QVERIFY(rec.iPid != hungPid);
    QCOMPARE(rec.iPid, farmPid(idx));
    QVERIFY(platform::processAlive(rec.iPid));
}

void TstSimuDaemon::restartSuccessResetsTheFailureCount()
{
    QVERIFY(makeFarm(FarmFixture::LdPlayer, 1));
    SimuSettings::setDaemonModel(2);
    SimuSettings::setDaemonList({QStringLiteral("0")});
    setRecord(QStringLiteral("0"), -1, 0, 2);
    SimuDaemonObj daemon;
    QVERIFY(daemon.isStopped());
    settle(daemon, [&] { daemon.runDaemonPass(); });
    QVERIFY(!daemon.isStopped());

    const QString name = infoOf(QStringLiteral("0")).name();
    QCOMPARE(m_log,
             (QStringList{SimuDaemonObj::msgWatchedClosed(name), SimuDaemonObj::msgWatchedRestarted(name)}));
    const struSimuRecord rec = recordOf(QStringLiteral("0"));
    QCOMPARE(rec.iState, 1);
    QCOMPARE(rec.iRestErrCnt, 0);
    QCOMPARE(rec.iTime, -1);
    QCOMPARE(rec.iPid, farmPid(QStringLiteral("0")));
}

void TstSimuDaemon::lingeringUnreachableInstanceIsKilled()
{
    // The MEmu probe finds the instance by its window, which needs an X server.
    XvfbServer xvfb;
    if (!xvfb.start())
        QSKIP(qPrintable(QStringLiteral("no X server for the MEmu window probe: ") + xvfb.error()));
    QVERIFY(makeFarm(FarmFixture::MEmu, 1));
    const QString idx = QStringLiteral("MEmu");
    m_pFarm->setKnob(QStringLiteral("bootFail"), QStringLiteral("true"), idx); // adb never lists it
    QVERIFY(m_pFarm->startInstance(idx));
    const int pid = farmPid(idx);
    QVERIFY(pid > 0);
    // Its window must be up before the probe can see the process behind it.
    QTRY_VERIFY_WITH_TIMEOUT(platform::findTopLevelWindow("", infoOf(idx).name().toStdString()).found, 10000);
    QVERIFY(waitPastBootGrace(pid)); // unreachable for longer than a boot takes

    SimuDaemonObj daemon;
    onePass(daemon); // record says -1: believed closed
    QVERIFY(!platform::processAlive(pid));
    QVERIFY(m_log.isEmpty());
    QCOMPARE(recordOf(idx).iState, -1);
}

void TstSimuDaemon::forgedListingLinesKillNothing_data()
{
    QTest::addColumn<int>("daemonModel");
    QTest::addColumn<int>("forgedState"); // what the agent has stored for the forged indexes
    QTest::newRow("normal, believed closed") << 0 << -1;
    QTest::newRow("daemon, believed running") << 2 << 1;
}

// A title renamed by hand (the product takes line breaks and commas) forges listing lines: index 7
// claims the process of the real instance 1, index 8 a process that is no instance at all. The
// watchdog takes both for lost or stray instances, and kills neither process.
void TstSimuDaemon::forgedListingLinesKillNothing()
{
    QFETCH(int, daemonModel);
    QFETCH(int, forgedState);
    QVERIFY(makeFarm(FarmFixture::LdPlayer, 2));
    SimuSettings::setDaemonModel(daemonModel);
    QVERIFY(m_pFarm->startInstance(QStringLiteral("1")));
    QVERIFY(m_pFarm->waitInstance(QStringLiteral("1"), QStringLiteral("online"), true));
    const int instancePid = farmPid(QStringLiteral("1"));
    setRecord(QStringLiteral("1"), 1, instancePid);
    QProcess foreign;
    foreign.start(QStringLiteral("sleep"), {QStringLiteral("300")});
    QVERIFY(foreign.waitForStarted(5000));
    const auto endForeign = qScopeGuard([&foreign] {
        foreign.kill();
        foreign.waitForFinished(5000);
    });
    const int foreignPid = int(foreign.processId());
    QVERIFY(waitPastBootGrace(instancePid) && waitPastBootGrace(foreignPid));
    QVERIFY(m_pFarm->setKnob(QStringLiteral("rawTitles"), QStringLiteral("true"), QStringLiteral("0")));
    const QString title =
        QStringLiteral("x\r\n7,p,0,0,1,%1,%1\r\n8,q,0,0,1,%2,%2\r\nz").arg(instancePid).arg(foreignPid);
    QCOMPARE(m_pFarm->runTool(QStringLiteral("dnconsole.exe"),
                              {QStringLiteral("rename"), QStringLiteral("--index"), QStringLiteral("0"),
                               QStringLiteral("--title"), title}),
             0);
    setRecord(QStringLiteral("7"), forgedState, instancePid);
    setRecord(QStringLiteral("8"), forgedState, foreignPid);

    SimuDaemonObj daemon;
    onePass(daemon);
    onePass(daemon);
    QVERIFY(platform::processAlive(instancePid));
    QVERIFY(platform::processAlive(foreignPid));
    QVERIFY(m_pFarm->instanceStatus(QStringLiteral("1")).value(QStringLiteral("online")).toBool());
}

void TstSimuDaemon::normalModeStartsNothing()
{
    QVERIFY(makeFarm(FarmFixture::LdPlayer, 1));
    SimuSettings::setDaemonModel(0);
    SimuSettings::setDaemonList({QStringLiteral("0")});
    setRecord(QStringLiteral("0"), -1, 0);
    SimuDaemonObj daemon;
    settle(daemon, [&] { daemon.slStartupDaemonList(); });
    QVERIFY(!daemon.isStopped());
    settle(daemon, [&] { daemon.slSimusStateCheck(); });
    QVERIFY(m_log.isEmpty());
    QVERIFY(!m_pFarm->instanceStatus(QStringLiteral("0")).value(QStringLiteral("running")).toBool());
    QCOMPARE(SimuSettings::getDaemonList(), QStringList{QStringLiteral("0")});
}

void TstSimuDaemon::neverSavedModeRunsOneDaemonPassOnly()
{
    QVERIFY(makeFarm(FarmFixture::LdPlayer, 1));
    SimuSettings::setValue(QStringLiteral("common/daemonModel"), QVariant()); // as never saved
    SimuSettings::setValue(QStringLiteral("common/daemonModel"), 100);
    SimuSettings::setDaemonList({QStringLiteral("0")});
    setRecord(QStringLiteral("0"), -1, 0);
    SimuDaemonObj daemon;
    settle(daemon,
           [&] { daemon.slStartupDaemonList(); }); // the start pass runs the daemon pass: only 0 skips it
    const QString name = infoOf(QStringLiteral("0")).name();
    QCOMPARE(m_log,
             (QStringList{SimuDaemonObj::msgWatchedClosed(name), SimuDaemonObj::msgWatchedRestarted(name)}));
    QCOMPARE(recordOf(QStringLiteral("0")).iState, 1);

    // It dies; the check passes treat mode 100 as normal mode: recorded closed, not restarted.
    platform::killProcessTree(farmPid(QStringLiteral("0")));
    QVERIFY(m_pFarm->waitInstance(QStringLiteral("0"), QStringLiteral("running"), false, 5000));
    m_log.clear();
    settle(daemon, [&] { daemon.slSimusStateCheck(); });
    QCOMPARE(m_log, QStringList{SimuDaemonObj::msgLost(name)});
    QCOMPARE(recordOf(QStringLiteral("0")).iState, -1);
    QVERIFY(!m_pFarm->instanceStatus(QStringLiteral("0")).value(QStringLiteral("running")).toBool());
}

void TstSimuDaemon::passesPauseWhileNobodyIsSignedIn()
{
    QVERIFY(makeFarm(FarmFixture::LdPlayer, 2));
    SimuSettings::setDaemonModel(2);
    QVERIFY(m_pFarm->startInstance(QStringLiteral("0")));
    QVERIFY(m_pFarm->waitInstance(QStringLiteral("0"), QStringLiteral("online"), true));
    setRecord(QStringLiteral("1"), 1, 4242);
    SimuDaemonObj daemon;
    settle(daemon, [&] { daemon.runDaemonPass(); });
    LoginRecord::clear();
    settle(daemon, [&] { daemon.slSimusStateCheck(); });
    QVERIFY(m_log.isEmpty());
    QCOMPARE(recordOf(QStringLiteral("0")).iState, -1);
    QCOMPARE(recordOf(QStringLiteral("1")).iState, 1);

    CLoginRet login;
    login.strUserName = QStringLiteral("alice");
    LoginRecord::set(login);
    settle(daemon, [&] { daemon.slSimusStateCheck(); });
    QCOMPARE(recordOf(QStringLiteral("0")).iState, 1);
    QVERIFY(SimuSettings::getDaemonList().contains(QStringLiteral("0"))); // daemon mode watches it
}

void TstSimuDaemon::chainRunsOnItsThreadAndStopsWithIt()
{
    QVERIFY(makeFarm(FarmFixture::LdPlayer, 1));
    SimuSettings::setValue(QStringLiteral("common/checkTimeSpan"), 1);
    QVERIFY(m_pFarm->startInstance(QStringLiteral("0")));
    QVERIFY(m_pFarm->waitInstance(QStringLiteral("0"), QStringLiteral("online"), true));

    QThread thread;
    auto* pDaemon = new SimuDaemonObj;
    pDaemon->moveToThread(&thread);
    connect(&thread, &QThread::started, pDaemon, &SimuDaemonObj::InitDaemon);
    connect(&thread, &QThread::finished, pDaemon, &QObject::deleteLater);
    thread.start();
    // Announced twice (two logins): still one chain.
    QMetaObject::invokeMethod(pDaemon, &SimuDaemonObj::slStartupDaemonList, Qt::QueuedConnection);
    QMetaObject::invokeMethod(pDaemon, &SimuDaemonObj::slStartupDaemonList, Qt::QueuedConnection);
    QTRY_COMPARE_WITH_TIMEOUT(recordOf(QStringLiteral("0")).iState, 1, 15000);

    // A long interval does not hold up the shutdown: the sleeping pass ends with its thread.
    SimuSettings::setValue(QStringLiteral("common/checkTimeSpan"), 600);
    QTest::qWait(1500); // the chain is now inside its long sleep
    QElapsedTimer clock;
    clock.start();
    thread.requestInterruption();
    thread.quit();
    QVERIFY(thread.wait(10000));
    QVERIFY(clock.elapsed() < 8000);
}

void TstSimuDaemon::handStartedInstancesBootOverSeveralPeriods_data()
{
    QTest::addColumn<int>("product");
    QTest::newRow("MEmu") << int(FarmFixture::MEmu);
    QTest::newRow("LDPlayer") << int(FarmFixture::LdPlayer);
}

// The defaults scaled together (period 10 s, start-up time-out 120 polls of 1 s, boots of 30-90 s):
// a watchdog period of 2 s, a start-up time-out of 12 s, boots of 8 s. In daemon mode, with the
// watchdog on its own thread, three instances are started by hand through the product's tool:
//   booting    watched and recorded running without a pid, as the start-up scan leaves an
//              instance that it found running;
//   fresh      unknown to the agent;
//   unreachable never answers over adb.
// The two that boot are left alone for four periods and more (logged once each as booting), come up
// with the processes they were started with, and are never taken for lost, closed or restarted.
// The unreachable one is left alone as long as a boot may take, and killed at the next pass after.
void TstSimuDaemon::handStartedInstancesBootOverSeveralPeriods()
{
    QFETCH(int, product);
    if (product == FarmFixture::MEmu && !ensureDisplay())
        QSKIP("no X server for the MEmu window probe");
    constexpr int kPeriodS = 2;
    constexpr int kBootMs = 8000;
    constexpr int kStartupPolls = 12;
    QVERIFY(makeFarm(FarmFixture::Product(product), 3));
    SimuSettings::setValue(QStringLiteral("tuning/sleepStepMs"), 1000);
    SimuSettings::setValue(QStringLiteral("common/startupTimeout"), kStartupPolls);
    SimuSettings::setValue(QStringLiteral("common/checkTimeSpan"), kPeriodS);
    SimuSettings::setDaemonModel(2);
    const qint64 graceMs = LauncherTuning::bootGraceMs();
    QCOMPARE(graceMs, qint64(kStartupPolls) * 1000);
    const QStringList idx = m_pFarm->indexes();
    const QString booting = idx.at(0);
    const QString fresh = idx.at(1);
    const QString unreachable = idx.at(2);
    SimuSettings::setDaemonList({booting});
    setRecord(booting, eStateRunning, 0);
    QVERIFY(m_pFarm->setKnob(QStringLiteral("bootDelayMs"), QString::number(kBootMs)));
    QVERIFY(m_pFarm->setKnob(QStringLiteral("bootFail"), QStringLiteral("true"), unreachable));

    const MessageCatcher bootLog;
    QHash<QString, int> pids;
    QHash<QString, qint64> launches;
    for (const QString& i : idx) {
        QVERIFY2(m_pFarm->startInstance(i), qPrintable(m_pFarm->error()));
        pids[i] = farmPid(i);
        launches[i] = m_pFarm->instanceStatus(i).value(QStringLiteral("launchMs")).toVariant().toLongLong();
        QVERIFY(pids[i] > 0);
        if (product == FarmFixture::MEmu) // the probe looks for the process behind the window
            QTRY_VERIFY_WITH_TIMEOUT(platform::findTopLevelWindow("", infoOf(i).name().toStdString()).found,
                                     10000);
    }

    QThread thread;
    auto* pDaemon = new SimuDaemonObj;
    pDaemon->moveToThread(&thread);
    connect(&thread, &QThread::started, pDaemon, &SimuDaemonObj::InitDaemon);
    connect(&thread, &QThread::finished, pDaemon, &QObject::deleteLater);
    const auto stopWatchdog = [&thread] {
        thread.requestInterruption();
        thread.quit();
        thread.wait(30000);
    };
    const auto stopOnFailure = qScopeGuard(stopWatchdog);
    thread.start();
    QMetaObject::invokeMethod(pDaemon, &SimuDaemonObj::slStartupDaemonList, Qt::QueuedConnection);

    // Until the unreachable one is gone: the booting ones keep their processes all along.
    qint64 lastAliveAgeMs = 0;
    QDeadlineTimer deadline(graceMs + 4 * kPeriodS * 1000 + 10000);
    while (!deadline.hasExpired()) {
        const qint64 age = platform::processAgeMs(pids[unreachable]);
        if (age < 0)
            break;
        lastAliveAgeMs = age;
        QVERIFY(platform::processAlive(pids[booting]) && platform::processAlive(pids[fresh]));
        QTest::qWait(100);
    }
    QVERIFY2(!platform::processAlive(pids[unreachable]), "the unreachable instance was never killed");
    QVERIFY2(lastAliveAgeMs >= graceMs - 500,
             qPrintable(QStringLiteral("killed at %1 ms, within the boot grace").arg(lastAliveAgeMs)));
    QTRY_COMPARE_WITH_TIMEOUT(recordOf(fresh).iState, int(eStateRunning), 3 * kPeriodS * 1000);

    stopWatchdog();
    for (const QString& i : {booting, fresh}) {
        const QJsonObject farm = m_pFarm->instanceStatus(i);
        QVERIFY2(farm.value(QStringLiteral("online")).toBool(), qPrintable(i));
        QCOMPARE(farm.value(QStringLiteral("pid")).toInt(), pids[i]);
        QCOMPARE(farm.value(QStringLiteral("launchMs")).toVariant().toLongLong(), launches[i]);
        QCOMPARE(recordOf(i).iState, int(eStateRunning));
    }
    QCOMPARE(recordOf(fresh).iPid, pids[fresh]);
    QCOMPARE(recordOf(unreachable).iState, int(eStateNotStarted));
    QCOMPARE(SimuSettings::getDaemonList(), (QStringList{booting, fresh}));
    // The only finding: the fresh instance, once it was up.
    QCOMPARE(logLines(), QStringList{SimuDaemonObj::msgNewInstance(infoOf(fresh).name())});
    // Each instance was logged as booting once, with its process.
    const QStringList booted = bootLog.texts(QStringLiteral("is booting"));
    for (const QString& i : idx) {
        const QString tag = QStringLiteral("(%1, process %2)").arg(i).arg(pids[i]);
        QVERIFY2(booted.filter(tag).size() == 1, qPrintable(tag + QLatin1Char('\n') + booted.join('\n')));
    }
}

// A pass judges all instances from one listing of the product and one of adb: with a listing that
// takes 1.5 s, a pass over six running instances costs two listings (the inventory's and the run
// states'), not seven. What it finds is what the instance-by-instance pass found.
void TstSimuDaemon::passListsTheProductOnceForAllInstances()
{
    QVERIFY(makeFarm(FarmFixture::LdPlayer, 6));
    SimuSettings::setRunLimit(10);
    const QStringList idx = m_pFarm->indexes();
    for (const QString& i : idx) {
        QVERIFY(m_pFarm->startInstance(i));
        QVERIFY(m_pFarm->waitInstance(i, QStringLiteral("online"), true));
        setRecord(i, 1, farmPid(i));
    }
    SimuSettings::setRunningList(idx);
    QVERIFY(m_pFarm->setKnob(QStringLiteral("listDelayMs"), QStringLiteral("1500")));
    SimuDaemonObj daemon;
    QElapsedTimer clock;
    clock.start();
    onePass(daemon);
    QVERIFY2(clock.elapsed() < 6500, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(m_log.isEmpty(), qPrintable(m_log.join(QLatin1Char('\n'))));

    const int gone = farmPid(idx.at(3));
    QVERIFY(waitPastBootGrace(gone));
    platform::killProcessTree(gone);
    QVERIFY(m_pFarm->waitInstance(idx.at(3), QStringLiteral("running"), false));
    onePass(daemon);
    QCOMPARE(m_log, QStringList{SimuDaemonObj::msgLost(infoOf(idx.at(3)).name())});
    for (const QString& i : idx)
        QCOMPARE(recordOf(i).iState, i == idx.at(3) ? -1 : 1);
}

QTEST_GUILESS_MAIN(TstSimuDaemon)
#include "tst_simudaemon.moc"
