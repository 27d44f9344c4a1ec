// The owner of the instances' states under a watchdog that passes without pause (daemon mode), while
// commands of every kind run on the instances: start, close, install, delete, rename and create,
// sent back to back, and a second start of an instance that is starting. The watchdog takes none of
// them for lost or new, the second start is refused without running, every outcome reaches the
// console, and at the end every record agrees with the farm and no instance is held any more.
#include "consoleharness.h"
#include "farmfixture.h"
#include "loginret.h"
#include "resultcodes.h"
#include "simudaemonobj.h"
#include "simusettings.h"
#include "simustatestore.h"

#include <QThread>
#include <QtTest>

#include <memory>

class TstStateOwner : public QObject
{
    Q_OBJECT

private slots:
    void watchdogPassesRaceEveryOperation();
};

void TstStateOwner::watchdogPassesRaceEveryOperation()
{
    FARMSIM_OR_SKIP();
    FarmFixture farm;
    QVERIFY2(farm.init(FarmFixture::LdPlayer, 6), qPrintable(farm.error()));
    QVERIFY(farm.setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("1500")));
    const QStringList idx = farm.indexes(); // 0..5
    // 2 and 3 run already, as the start-up scan left them; the others are stopped.
    for (const QString& i : {idx.at(2), idx.at(3)}) {
        QVERIFY(farm.startInstance(i));
        QVERIFY(farm.waitInstance(i, QStringLiteral("online"), true));
    }
    for (const QString& i : idx)
        SimuSettings::updateSimuRecord(i, [&](struSimuRecord& rec) {
            const bool running = i == idx.at(2) || i == idx.at(3);
            rec.iState = running ? eStateRunning : eStateNotStarted;
            rec.iPid = running ? farm.instanceStatus(i).value(QStringLiteral("pid")).toInt() : 0;
            rec.iTime = -1;
        });
    SimuSettings::setValue(QStringLiteral("common/checkTimeSpan"), 0); // passes back to back
    SimuSettings::setDaemonModel(2);
    SimuSettings::setRunLimit(10);
    SimuSettings::setPcNickName(QStringLiteral("机房一"));
    signIn(QStringLiteral("alice"));
    ResultServer results;
    QVERIFY(results.listen());
    OperLogCapture log(farm.homeDir() + QStringLiteral("/log"));
    AgentCommandServer agent(results.agentOptions());
    QVERIFY(agent.start());
    QThread daemonThread;
    auto* pDaemon = new SimuDaemonObj;
    pDaemon->moveToThread(&daemonThread);
    connect(&daemonThread, &QThread::started, pDaemon, &SimuDaemonObj::InitDaemon);
    connect(&daemonThread, &QThread::finished, pDaemon, &QObject::deleteLater);
    daemonThread.start();
    QMetaObject::invokeMethod(pDaemon, &SimuDaemonObj::slStartupDaemonList, Qt::QueuedConnection);
    QTest::qWait(300);

    const auto send = [&](int type, const QStringList& idxs, int t, const QString& name = QString(),
                          const QByteArray& apk = QByteArray()) {
        ConsoleClient::Options opt;
        opt.pauseMs = apk.isEmpty() ? 0 : 100;
        return ConsoleClient::send(
            agent.port(),
            ConsoleClient::makeDoc(ConsoleClient::makeOpers(type, idxs, t, apk.size(), name),
                                   QStringLiteral("alice")),
            apk, opt);
    };
    const QByteArray apk(64 * 1024, 'A');
    QVERIFY(send(eOperStartup, {idx.at(0), idx.at(1)}, 100));
    QVERIFY(send(eOperClose, {idx.at(2)}, 200));
    QVERIFY(send(eOperInstall, {idx.at(3)}, 300, QStringLiteral("game.apk"), apk));
    QVERIFY(send(eOperRename, {idx.at(4)}, 400, QStringLiteral("新名字")));
    QVERIFY(send(eOperDelete, {idx.at(5)}, 500));
    QVERIFY(send(eOperCreate, {QString()}, 600));
    QTRY_VERIFY_WITH_TIMEOUT(SimuStateStore::instance().record(idx.at(0)).iState == eStateStarting, 10000);
    QVERIFY(send(eOperStartup, {idx.at(0)}, 700)); // while the first start runs

    QVERIFY2(results.waitForReports(8, 60000), qPrintable(QString::number(results.reports().size())));
    QVERIFY(AgentCommandServer::waitIdle(30000));
    QHash<int, const ConsoleReport*> byTime;
    for (const ConsoleReport& rep : results.reports())
        byTime.insert(rep.oper.iTime - 1, &rep);
    QCOMPARE(byTime.value(700)->oper.iReplyRet, ResultCode::kInstanceBusy);
    for (int t : {100, 200, 300, 400, 500, 600})
        QVERIFY2(byTime.value(t) && byTime.value(t)->oper.iReplyRet == 0,
                 qPrintable(QStringLiteral("%1: %2").arg(t).arg(
                     byTime.value(t) ? byTime.value(t)->oper.replyRet : QStringLiteral("no report"))));
    QCOMPARE(results.reports().size(), 8);

    // A few more passes over the settled farm, then every record says what the farm does.
    QTest::qWait(1500);
    SimuStateStore& store = SimuStateStore::instance();
    for (const QString& i : {idx.at(0), idx.at(1), idx.at(2), idx.at(3), idx.at(4)}) {
        const bool running = farm.instanceStatus(i).value(QStringLiteral("running")).toBool();
        QCOMPARE(running, i != idx.at(2) && i != idx.at(4));
        QCOMPARE(store.record(i).iState, running ? int(eStateRunning) : int(eStateNotStarted));
        QVERIFY(!store.isOwned(i));
    }
    QVERIFY(!farm.indexes().contains(idx.at(5)));
    QCOMPARE(farm.indexes().size(), 6); // one deleted, one created
    for (const QString& line : log.lines())
        QVERIFY2(!line.contains(QStringLiteral("异常关闭")) && !line.contains(QStringLiteral("重新启动")) &&
                     !line.contains(QStringLiteral("检测到新模拟器")),
                 qPrintable(line));
    QVERIFY(log.lines().contains(
        QStringLiteral("模拟器\"%1\"正在执行其他操作，本次指令未执行")
            .arg(farm.instanceStatus(idx.at(0)).value(QStringLiteral("name")).toString())));
    daemonThread.requestInterruption();
    daemonThread.quit();
    QVERIFY(daemonThread.wait(30000));
    LoginRecord::clear();
}

QTEST_MAIN(TstStateOwner)
#include "tst_stateowner.moc"
