// The watchdog against a simulated farm: instances started by hand, lost instances in normal and
// daemon mode, restarts of watched instances with their failure count, the kill of a lingering
// unreachable instance, the modes that skip the daemon pass, passes while nobody is signed in, and
// instances that belong to an operation under way (booting for several passes, queued in a group).
#include "farmfixture.h"
#include "loginret.h"
#include "operloggerobj.h"
#include "platform.h"
#include "simudaemonobj.h"
#include "simuinfo.h"
#include "simuinfoxmlgainer.h"
#include "simusettings.h"

#include <QJsonArray>
#include <QtTest>

#include <signal.h>

namespace {

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
    void lingeringUnreachableInstanceIsKilled();
    void normalModeStartsNothing();
    void neverSavedModeRunsOneDaemonPassOnly();
    void passesPauseWhileNobodyIsSignedIn();
    void chainRunsOnItsThreadAndStopsWithIt();

private:
    bool makeFarm(FarmFixture::Product product, int instances);
    // MEmu instances are found by their windows: a display is needed.
    bool ensureDisplay();
    int farmPid(const QString& idx) const;
    void onePass(SimuDaemonObj& daemon);

    QTemporaryDir m_logDir;
    std::unique_ptr<FarmFixture> m_pFarm;
    std::unique_ptr<XvfbServer> m_pXvfb;
    OperLoggerObj* m_pLogger = nullptr;
    QStringList m_log;
    int m_stateWhileRestarting = 0;
};

void TstSimuDaemon::initTestCase()
{
    if (FarmFixture::farmsimPath().isEmpty())
        QSKIP("farmsim not found: set TOVIA_BIN_DIR to the folder of the built programs");
    m_pLogger = new OperLoggerObj(m_logDir.path(), this);
    OperLoggerObj::setInstance(m_pLogger);
    // Every line the watchdog logs, and the stored state at the moment a lost instance's restart is
    // announced.
    connect(
        m_pLogger, &OperLoggerObj::sigBeginMsgHandler, this,
        [this](int, int, QString line, QByteArray) {
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

// One check pass: without InitDaemon the pass schedules nothing after itself.
void TstSimuDaemon::onePass(SimuDaemonObj& daemon)
{
    if (daemon.isStopped())
        daemon.slStartupDaemonList();
    daemon.slSimusStateCheck();
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
        daemon.runDaemonPass();
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
    daemon.slSimusStateCheck();
    QCOMPARE(m_log, (QStringList{SimuDaemonObj::msgWatchedClosed(name), SimuDaemonObj::msgGivenUp(name, 3)}));
    QVERIFY(m_log.at(1).contains(QStringLiteral("已经3次")));
    QVERIFY(SimuSettings::getDaemonList().isEmpty());
    const struSimuRecord rec = recordOf(QStringLiteral("0"));
    QCOMPARE(rec.iRestErrCnt, 0);
    QCOMPARE(rec.iState, -1);
    QCOMPARE(rec.iPid, 0);
    QCOMPARE(recordOf(QStringLiteral("1")).iState, -1);

    m_log.clear();
    daemon.slSimusStateCheck();
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
    QStringList idx;
    for (const QJsonValue& v : m_pFarm->status().value(QStringLiteral("instances")).toArray())
        idx << v.toObject().value(QStringLiteral("index")).toString();
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
    const QString idx = m_pFarm->status()
                            .value(QStringLiteral("instances"))
                            .toArray()
                            .at(0)
                            .toObject()
                            .value("index")
                            .toString();
    QVERIFY(m_pFarm->startInstance(idx));
    QVERIFY(m_pFarm->waitInstance(idx, QStringLiteral("online"), true));
    const int hungPid = farmPid(idx);
    setRecord(idx, eStateRunning, 0); // as the start-up scan leaves one it found running: no pid
    SimuSettings::setDaemonList({idx});
    if (product == FarmFixture::MEmu)
        QTRY_VERIFY_WITH_TIMEOUT(platform::findTopLevelWindow("", infoOf(idx).name().toStdString()).found,
                                 10000);
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
    daemon.runDaemonPass();
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

    SimuDaemonObj daemon;
    onePass(daemon); // record says -1: believed closed
    QVERIFY(!platform::processAlive(pid));
    QVERIFY(m_log.isEmpty());
    QCOMPARE(recordOf(idx).iState, -1);
}

void TstSimuDaemon::normalModeStartsNothing()
{
    QVERIFY(makeFarm(FarmFixture::LdPlayer, 1));
    SimuSettings::setDaemonModel(0);
    SimuSettings::setDaemonList({QStringLiteral("0")});
    setRecord(QStringLiteral("0"), -1, 0);
    SimuDaemonObj daemon;
    daemon.slStartupDaemonList();
    QVERIFY(!daemon.isStopped());
    daemon.slSimusStateCheck();
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
    daemon.slStartupDaemonList(); // the start pass runs the daemon pass: only 0 skips it
    const QString name = infoOf(QStringLiteral("0")).name();
    QCOMPARE(m_log,
             (QStringList{SimuDaemonObj::msgWatchedClosed(name), SimuDaemonObj::msgWatchedRestarted(name)}));
    QCOMPARE(recordOf(QStringLiteral("0")).iState, 1);

    // It dies; the check passes treat mode 100 as normal mode: recorded closed, not restarted.
    platform::killProcessTree(farmPid(QStringLiteral("0")));
    QVERIFY(m_pFarm->waitInstance(QStringLiteral("0"), QStringLiteral("running"), false, 5000));
    m_log.clear();
    daemon.slSimusStateCheck();
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
    daemon.runDaemonPass();
    LoginRecord::clear();
    daemon.slSimusStateCheck();
    QVERIFY(m_log.isEmpty());
    QCOMPARE(recordOf(QStringLiteral("0")).iState, -1);
    QCOMPARE(recordOf(QStringLiteral("1")).iState, 1);

    CLoginRet login;
    login.strUserName = QStringLiteral("alice");
    LoginRecord::set(login);
    daemon.slSimusStateCheck();
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

QTEST_GUILESS_MAIN(TstSimuDaemon)
#include "tst_simudaemon.moc"
