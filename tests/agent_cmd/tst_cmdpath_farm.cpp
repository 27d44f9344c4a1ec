// Every command kind end to end: a test acting as the console sends commands to the agent's command
// server over loopback, the agent drives a simulated farm (farmsim), and the reports come back to
// the test's result server.
#include "consoleharness.h"
#include "farmfixture.h"
#include "installrspsormgr.h"
#include "messagecatcher.h"
#include "notifierrun.h"
#include "resultcodes.h"
#include "simuinfoxmlgainer.h"
#include "simusettings.h"
#include "simutcprcvobj.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

class TestCmdPathFarm : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void twoStartsRunInDocumentOrderWithThumbnails();
    void failedStartReportsLauncherCode();
    void twoStartCommandsRunInParallel();
    void closeReportsAndStoresNotStarted();
    void deleteSucceedsOrFailsAndStaysNotStarted();
    void renameOnLdPlayerAndRefusedOnMEmu();
    void renameReportsWhatTheToolDid();
    void commandsBeyondWhatAPcServesAreRefused();
    void createReportsNicknameReadAtTheEnd();
    void installIntoThreeInstancesReceivesOnce();

private:
    bool setUp(FarmFixture::Product product, int instances);
    bool send(int type, const QStringList& idxs, int iTime, const QByteArray& tail = QByteArray(),
              int iExtra = 0, const QString& fileName = QString());
    struSimuRecord stored(const QString& idx) const;

    std::unique_ptr<FarmFixture> m_pFarm;
    std::unique_ptr<ResultServer> m_pResults;
    std::unique_ptr<OperLogCapture> m_pLog;
    std::unique_ptr<AgentCommandServer> m_pAgent;
};

bool TestCmdPathFarm::setUp(FarmFixture::Product product, int instances)
{
    m_pFarm = std::make_unique<FarmFixture>();
    if (!m_pFarm->init(product, instances)) {
        qWarning().noquote() << "farm:" << m_pFarm->error();
        return false;
    }
    SimuSettings::setPcNickName(QStringLiteral("机房一"));
    signIn(QStringLiteral("alice"));
    m_pResults = std::make_unique<ResultServer>();
    if (!m_pResults->listen())
        return false;
    m_pLog = std::make_unique<OperLogCapture>(m_pFarm->homeDir() + QStringLiteral("/log"));
    m_pAgent = std::make_unique<AgentCommandServer>(m_pResults->agentOptions());
    return m_pAgent->start();
}

void TestCmdPathFarm::cleanup()
{
    m_pAgent.reset();
    m_pLog.reset();
    m_pResults.reset();
    m_pFarm.reset();
}

bool TestCmdPathFarm::send(int type, const QStringList& idxs, int iTime, const QByteArray& tail, int iExtra,
                           const QString& fileName)
{
    const auto opers = ConsoleClient::makeOpers(type, idxs, iTime, iExtra, fileName);
    return ConsoleClient::send(m_pAgent->port(), ConsoleClient::makeDoc(opers, QStringLiteral("alice")),
                               tail);
}

// The display name the inventory gives an instance (the texts name instances by it).
static QString nameOf(const QString& idx)
{
    SimuInfo info;
    SimuInfoXmlGainer().GetSimuInfo(idx, info);
    return info.name();
}

struSimuRecord TestCmdPathFarm::stored(const QString& idx) const
{
    return SimuSettings::storedSimuRecord(idx);
}

#define FARM_OR_SKIP(product, n)                                                                             \
    do {                                                                                                     \
        FARMSIM_OR_SKIP();                                                                                   \
        QVERIFY(setUp(product, n));                                                                          \
    } while (0)

void TestCmdPathFarm::twoStartsRunInDocumentOrderWithThumbnails()
{
    const MessageCatcher messages;
    FARM_OR_SKIP(FarmFixture::MEmu, 3);
    QVERIFY(m_pFarm->setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("400")));
    const int t = 1700000000;
    QVERIFY(send(eOperStartup, {QStringLiteral("MEmu_2"), QStringLiteral("MEmu_1")}, t));

    // Before the run: starting, with the command's time.
    QTRY_COMPARE_WITH_TIMEOUT(stored(QStringLiteral("MEmu_1")).iState, int(eStateStarting), 10000);
    QCOMPARE(stored(QStringLiteral("MEmu_1")).iTime, t);

    QVERIFY(m_pResults->waitForReports(2, 20000));
    const auto& reps = m_pResults->reports();
    QCOMPARE(reps.at(0).oper.memuIdx, QStringLiteral("MEmu_2"));
    QCOMPARE(reps.at(1).oper.memuIdx, QStringLiteral("MEmu_1"));
    // The second instance was launched only after the first start had ended.
    const qint64 launch2 =
        m_pFarm->instanceStatus(QStringLiteral("MEmu_2")).value("launchMs").toVariant().toLongLong();
    const qint64 launch1 =
        m_pFarm->instanceStatus(QStringLiteral("MEmu_1")).value("launchMs").toVariant().toLongLong();
    QVERIFY2(launch1 - launch2 >= 400, qPrintable(QStringLiteral("%1 %2").arg(launch2).arg(launch1)));
    QVERIFY(reps.at(1).docMs - reps.at(0).endMs >= 300);

    for (const ConsoleReport& rep : reps) {
        const QString idx = rep.oper.memuIdx;
        QCOMPARE(rep.oper.iReplyRet, 0);
        QCOMPARE(rep.oper.iTime, t + 1);
        QCOMPARE(rep.oper.replyRet, QStringLiteral("机房一打开模拟器\"%1\"成功\r\n").arg(nameOf(idx)));
        QVERIFY(rep.tail.startsWith("\xFF\xD8"));
        QCOMPARE(rep.image().size(), QSize(100, 150));
        // When the report left: running with the instance's pid, stored in full (the launcher and the
        // notifier one step each, the after-state hook two more) so that a console's next command on
        // hearing it finds the instance settled.
        const int pid = m_pFarm->instanceStatus(idx).value("pid").toInt();
        QVERIFY(pid > 0);
        QCOMPARE(rep.storedAtDoc.iState, int(eStateRunning));
        QCOMPARE(rep.storedAtDoc.iPid, pid);
        QCOMPARE(rep.storedAtDoc.iTime, t + 4);
    }
    QVERIFY(AgentCommandServer::waitIdle(10000));
    for (const QString& idx : {QStringLiteral("MEmu_1"), QStringLiteral("MEmu_2")}) {
        QCOMPARE(stored(idx).iState, int(eStateRunning));
        QCOMPARE(stored(idx).iTime, t + 4); // nothing more after the report
    }
    // daemonModel never saved (100) counts as daemon mode.
    QCOMPARE(SimuSettings::getDaemonList(),
             QStringList({QStringLiteral("MEmu_2"), QStringLiteral("MEmu_1")}));
    QTRY_COMPARE_WITH_TIMEOUT(m_pLog->lines().size(), 6, 10000);
    QCOMPARE(m_pLog->lines().mid(0, 3),
             QStringList({QStringLiteral("收到操作指令，启动\"%1\"").arg(nameOf(QStringLiteral("MEmu_2"))),
                          QStringLiteral("\"%1\"启动中,请耐心等待…").arg(nameOf(QStringLiteral("MEmu_2"))),
                          QStringLiteral("\"%1\"启动成功，已纳入监控并进入守护模式")
                              .arg(nameOf(QStringLiteral("MEmu_2")))}));

    // A flow where nothing went wrong, from the server's start to its threads' end, warns of nothing.
    m_pAgent.reset();
    const QStringList warnings =
        messages.warnings({QStringLiteral("tovia.agent."), QStringLiteral("default")});
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
}

void TestCmdPathFarm::failedStartReportsLauncherCode()
{
    FARM_OR_SKIP(FarmFixture::LdPlayer, 2);
    QVERIFY(m_pFarm->setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("0")));
    QVERIFY(m_pFarm->setKnob(QStringLiteral("bootFail"), QStringLiteral("true"), QStringLiteral("1")));
    SimuSettings::setValue(QStringLiteral("common/startupTimeout"), 4);
    SimuSettings::setDaemonModel(0);
    QVERIFY(send(eOperStartup, {QStringLiteral("1"), QStringLiteral("0")}, 500));
    QVERIFY(m_pResults->waitForReports(2, 20000));
    const ConsoleReport& failed = m_pResults->reports().at(0);
    QCOMPARE(failed.oper.iReplyRet, 58);
    QVERIFY(failed.oper.replyRet.endsWith(QStringLiteral("失败。\r\n")));
    QVERIFY(failed.tail.isEmpty());
    QCOMPARE(m_pResults->reports().at(1).oper.iReplyRet, 0);
    QVERIFY(AgentCommandServer::waitIdle(10000));
    QCOMPARE(stored(QStringLiteral("1")).iState, int(eStateNotStarted));
    QCOMPARE(stored(QStringLiteral("1")).iPid, 0);
    QCOMPARE(stored(QStringLiteral("0")).iState, int(eStateRunning));
    QVERIFY(SimuSettings::getDaemonList().isEmpty()); // normal mode
    QTRY_VERIFY_WITH_TIMEOUT(m_pLog->lines().size() >= 6, 10000);
    QVERIFY(m_pLog->lines().at(2).endsWith(QStringLiteral("\"启动失败")));
    QVERIFY(m_pLog->lines().at(5).endsWith(QStringLiteral("\"启动成功，已纳入监控")));
}

void TestCmdPathFarm::twoStartCommandsRunInParallel()
{
    // A start ends only once its instance is online, and the farm brings an instance online no
    // sooner than kBootMs after its launch. So had the second command waited for the first, the
    // second launch would come at least kBootMs after the first; launched closer together, the two
    // starts ran side by side. Both times are the farm's, so a busy machine only makes the whole run
    // slower, it does not move the launches apart by seconds.
    constexpr int kBootMs = 2500;
    FARM_OR_SKIP(FarmFixture::MEmu, 2);
    QVERIFY(m_pFarm->setKnob(QStringLiteral("bootDelayMs"), QString::number(kBootMs)));
    // Polls enough for the longer boot, however slowly each poll runs.
    SimuSettings::setValue(QStringLiteral("common/startupTimeout"), 4 * FarmFixture::kStartupPolls);
    QVERIFY(send(eOperStartup, {QStringLiteral("MEmu")}, 10));
    QVERIFY(send(eOperStartup, {QStringLiteral("MEmu_1")}, 10));
    QVERIFY(m_pResults->waitForReports(2, 40000));
    for (const ConsoleReport& rep : m_pResults->reports())
        QCOMPARE(rep.oper.iReplyRet, 0);
    const qint64 a =
        m_pFarm->instanceStatus(QStringLiteral("MEmu")).value("launchMs").toVariant().toLongLong();
    const qint64 b =
        m_pFarm->instanceStatus(QStringLiteral("MEmu_1")).value("launchMs").toVariant().toLongLong();
    QVERIFY(a > 0 && b > 0);
    QVERIFY2(qAbs(a - b) < kBootMs, qPrintable(QStringLiteral("launches %1 ms apart").arg(a - b)));
}

void TestCmdPathFarm::closeReportsAndStoresNotStarted()
{
    FARM_OR_SKIP(FarmFixture::MEmu, 2);
    QVERIFY(m_pFarm->setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("0")));
    QVERIFY(m_pFarm->startInstance(QStringLiteral("MEmu_1")));
    SimuSettings::addDaemon(QStringLiteral("MEmu_1"));
    QSignalSpy closed(m_pAgent->object(), &SimuTcpRcvObj::sigSimuClosed);
    QVERIFY(send(eOperClose, {QStringLiteral("MEmu_1")}, 300));
    QVERIFY(m_pResults->waitForReports(1, 20000));
    const ConsoleReport& rep = m_pResults->reports().first();
    QCOMPARE(rep.oper.iReplyRet, 0);
    QCOMPARE(rep.oper.replyRet,
             QStringLiteral("机房一的模拟器\"%1\"关闭成功\r\n").arg(nameOf(QStringLiteral("MEmu_1"))));
    QVERIFY(m_pFarm->waitInstance(QStringLiteral("MEmu_1"), QStringLiteral("running"), false, 10000));
    QVERIFY(AgentCommandServer::waitIdle(10000));
    QCOMPARE(stored(QStringLiteral("MEmu_1")).iState, int(eStateNotStarted));
    QCOMPARE(stored(QStringLiteral("MEmu_1")).iTime, 303);
    QVERIFY(SimuSettings::getDaemonList().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 10000);
    QCOMPARE(closed.first().at(1).toString(), QStringLiteral("MEmu_1"));
    const QString s1 = nameOf(QStringLiteral("MEmu_1"));
    QTRY_COMPARE_WITH_TIMEOUT(m_pLog->lines(),
                              QStringList({QStringLiteral("收到操作指令，关闭\"%1\"").arg(s1),
                                           QStringLiteral("\"%1\"关闭中,请耐心等待").arg(s1),
                                           QStringLiteral("\"%1\"关闭成功").arg(s1)}),
                              10000);
}

void TestCmdPathFarm::deleteSucceedsOrFailsAndStaysNotStarted()
{
    FARM_OR_SKIP(FarmFixture::MEmu, 3);
    QVERIFY(
        m_pFarm->setKnob(QStringLiteral("deleteLocked"), QStringLiteral("true"), QStringLiteral("MEmu_2")));
    const QString name1 = nameOf(QStringLiteral("MEmu_1")), name2 = nameOf(QStringLiteral("MEmu_2"));
    QVERIFY(!name1.isEmpty() && name1 != name2);
    QVERIFY(send(eOperDelete, {QStringLiteral("MEmu_1"), QStringLiteral("MEmu_2")}, 40));
    QVERIFY(m_pResults->waitForReports(2, 20000));
    const auto& reps = m_pResults->reports();
    QCOMPARE(reps.at(0).oper.iReplyRet, 0);
    QCOMPARE(reps.at(0).oper.replyRet, QStringLiteral("机房一删除模拟器\"%1\"成功\r\n").arg(name1));
    QCOMPARE(reps.at(1).oper.iReplyRet, 26);
    QCOMPARE(reps.at(1).oper.replyRet, QStringLiteral("机房一删除模拟器\"%1\"失败\r\n").arg(name2));
    QVERIFY(AgentCommandServer::waitIdle(10000));
    for (const QString& idx : {QStringLiteral("MEmu_1"), QStringLiteral("MEmu_2")}) {
        QCOMPARE(stored(idx).iState, int(eStateNotStarted));
        QCOMPARE(stored(idx).iTime, 43);
    }
    QVERIFY(!QFile::exists(m_pFarm->memuFile(QStringLiteral("MEmu_1"))));
    QVERIFY(QFile::exists(m_pFarm->memuFile(QStringLiteral("MEmu_2"))));
    QTRY_VERIFY_WITH_TIMEOUT(m_pLog->lines().contains(QStringLiteral("\"%1\"删除失败").arg(name2)), 10000);
    QVERIFY(m_pLog->lines().contains(QStringLiteral("\"%1\"删除成功").arg(name1)));
}

void TestCmdPathFarm::renameOnLdPlayerAndRefusedOnMEmu()
{
    FARM_OR_SKIP(FarmFixture::LdPlayer, 2);
    QVERIFY(send(eOperRename, {QStringLiteral("1")}, 60, QByteArray(), 0, QStringLiteral("新 名字")));
    QVERIFY(m_pResults->waitForReports(1, 20000));
    QCOMPARE(m_pResults->reports().first().oper.iReplyRet, 0);
    QCOMPARE(m_pFarm->instanceStatus(QStringLiteral("1")).value("name").toString(),
             QStringLiteral("新 名字"));
    QVERIFY(AgentCommandServer::waitIdle(10000));
    QVERIFY(m_pLog->lines().isEmpty());
    cleanup();

    FARM_OR_SKIP(FarmFixture::MEmu, 2);
    QVERIFY(send(eOperRename, {QStringLiteral("MEmu_1")}, 61, QByteArray(), 0, QStringLiteral("x")));
    QVERIFY(m_pResults->waitForReports(1, 20000));
    QCOMPARE(m_pResults->reports().first().oper.iReplyRet, 69);
    QCOMPARE(m_pResults->reports().first().oper.replyRet, QStringLiteral("暂不支持逍遥模拟器重命名"));
    QVERIFY(AgentCommandServer::waitIdle(10000));
    QTest::qWait(50);
    QVERIFY(m_pLog->lines().isEmpty());
}

// Titles the product cannot take are refused before its tool runs (the farm keeps the old name),
// and a rename the tool refused is reported as failed; only a rename the listing shows succeeds.
void TestCmdPathFarm::renameReportsWhatTheToolDid()
{
    FARM_OR_SKIP(FarmFixture::LdPlayer, 2);
    QVERIFY(m_pFarm->setKnob(QStringLiteral("renameFails"), QStringLiteral("true"), QStringLiteral("0")));
    const QString before = m_pFarm->instanceStatus(QStringLiteral("1")).value("name").toString();
    const QStringList titles = {QStringLiteral("a\r\n5,p,0,0,1,1,1"),
                                QStringLiteral("a,b"),
                                QStringLiteral("a") + QChar(0) + QStringLiteral("b"),
                                QString(43, QChar(0x540D)),
                                QString(),
                                QStringLiteral("二楼 7号")};
    QList<struSimuOper> opers;
    for (const QString& title : titles)
        opers << ConsoleClient::makeOpers(eOperRename, {QStringLiteral("1")}, 90, 0, title);
    opers << ConsoleClient::makeOpers(eOperRename, {QStringLiteral("0")}, 90, 0, QStringLiteral("好名字"));
    QVERIFY(ConsoleClient::send(m_pAgent->port(), ConsoleClient::makeDoc(opers, QStringLiteral("alice"))));
    QVERIFY(m_pResults->waitForReports(opers.size(), 30000));
    QList<int> codes;
    for (const ConsoleReport& rep : m_pResults->reports())
        codes << rep.oper.iReplyRet;
    QCOMPARE(codes, QList<int>({80, 80, 80, 80, 80, 0, 81}));
    QVERIFY(m_pResults->reports().at(0).oper.replyRet.startsWith(QStringLiteral("重命名失败：")));
    QCOMPARE(m_pResults->reports().at(6).oper.replyRet, QStringLiteral("重命名失败"));
    QCOMPARE(m_pFarm->instanceStatus(QStringLiteral("1")).value("name").toString(),
             QStringLiteral("二楼 7号"));
    QVERIFY(before != QStringLiteral("二楼 7号"));
    QVERIFY(m_pFarm->instanceStatus(QStringLiteral("0")).value("name").toString() !=
            QStringLiteral("好名字"));
}

// More creates than the PC has room for, or more records than a PC has instances, are refused as
// a whole with one result; nothing is created or started.
void TestCmdPathFarm::commandsBeyondWhatAPcServesAreRefused()
{
    FARM_OR_SKIP(FarmFixture::LdPlayer, 3);
    QStringList creates;
    for (int i = 0; i < kMaxSimuCount - 2; ++i)
        creates << QString();
    QVERIFY(send(eOperCreate, creates, 95));
    QVERIFY(m_pResults->waitForReports(1, 20000));
    QCOMPARE(m_pResults->reports().at(0).oper.iReplyRet, ResultCode::kTooManyRecords);
    QVERIFY(AgentCommandServer::waitIdle(10000));
    QCOMPARE(m_pFarm->status().value("instances").toArray().size(), 3);

    QStringList starts;
    for (int i = 0; i <= kMaxSimuCount; ++i)
        starts << QStringLiteral("0");
    QVERIFY(send(eOperStartup, starts, 96));
    QVERIFY(m_pResults->waitForReports(2, 20000));
    QCOMPARE(m_pResults->reports().at(1).oper.iReplyRet, ResultCode::kTooManyRecords);
    QCOMPARE(m_pResults->reports().at(1).oper.memuIdx, QStringLiteral("0"));
    QVERIFY(AgentCommandServer::waitIdle(10000));
    QTest::qWait(200);
    QCOMPARE(m_pResults->reports().size(), 2);
    QVERIFY(!m_pFarm->instanceStatus(QStringLiteral("0")).value("running").toBool());
}

void TestCmdPathFarm::createReportsNicknameReadAtTheEnd()
{
    FARM_OR_SKIP(FarmFixture::LdPlayer, 1);
    QVERIFY(m_pFarm->setKnob(QStringLiteral("toolDelayMs"), QStringLiteral("800")));
    QVERIFY(send(eOperCreate, {QString()}, 70));
    QTRY_VERIFY_WITH_TIMEOUT(m_pLog->lines().contains(QStringLiteral("模拟器新建中，请耐心等待…")), 10000);
    SimuSettings::setPcNickName(QStringLiteral("机房二"));
    QVERIFY(m_pResults->waitForReports(1, 20000));
    QCOMPARE(m_pResults->reports().first().oper.iReplyRet, 0);
    QCOMPARE(m_pResults->reports().first().oper.replyRet, QStringLiteral("机房二创建模拟器成功\r\n"));
    QCOMPARE(m_pFarm->status().value("instances").toArray().size(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(
        m_pLog->lines(),
        QStringList({QStringLiteral("收到操作指令，新建模拟器"), QStringLiteral("模拟器新建中，请耐心等待…"),
                     QStringLiteral("新建模拟器成功")}),
        10000);
}

void TestCmdPathFarm::installIntoThreeInstancesReceivesOnce()
{
    FARM_OR_SKIP(FarmFixture::LdPlayer, 3);
    QVERIFY(m_pFarm->setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("0")));
    for (const QString& idx : {QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2")})
        QVERIFY(m_pFarm->startInstance(idx));
    QVERIFY(m_pFarm->setKnob(QStringLiteral("install"), QStringLiteral("refuse"), QStringLiteral("1")));
    const QByteArray apk(200 * 1024 + 17, 'A');
    // The APK follows the document in the same write.
    QVERIFY(send(eOperInstall, {QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2")}, 80, apk,
                 apk.size(), QStringLiteral("游戏.apk")));
    QVERIFY(m_pResults->waitForReports(3, 30000));
    const auto& reps = m_pResults->reports();
    QCOMPARE(reps.at(0).oper.memuIdx, QStringLiteral("0"));
    QCOMPARE(reps.at(1).oper.memuIdx, QStringLiteral("1"));
    QCOMPARE(reps.at(2).oper.memuIdx, QStringLiteral("2"));
    QCOMPARE(reps.at(0).oper.iReplyRet, 0);
    QVERIFY(reps.at(1).oper.iReplyRet != 0);
    QCOMPARE(reps.at(2).oper.iReplyRet, 0);
    QVERIFY(reps.at(0).oper.replyRet.endsWith(QStringLiteral("\"安装成功")));
    QVERIFY(reps.at(1).oper.replyRet.endsWith(QStringLiteral("\"安装失败")));
    // The states are put back once the whole group is done, after the last report left; the
    // received file is gone by then, and exactly its bytes were installed.
    QVERIFY(AgentCommandServer::waitIdle(10000));
    QVERIFY(!QFile::exists(InstallRspsorMgr::ReceivedApkPath()));
    const QString sha1 = QString::fromLatin1(QCryptographicHash::hash(apk, QCryptographicHash::Sha1).toHex());
    for (const QString& idx : {QStringLiteral("0"), QStringLiteral("2")}) {
        const QJsonArray installed = m_pFarm->instanceStatus(idx).value("installed").toArray();
        QCOMPARE(installed.size(), 1);
        QCOMPARE(installed.first().toObject().value("size").toInt(), apk.size());
        QCOMPARE(installed.first().toObject().value("sha1").toString(), sha1);
        QCOMPARE(stored(idx).iState, int(eStateRunning));
    }
    QCOMPARE(stored(QStringLiteral("1")).iState, int(eStateRunning));
    QTRY_VERIFY_WITH_TIMEOUT(m_pLog->lines().size() >= 9, 10000);
    QCOMPARE(m_pLog->lines().filter(QStringLiteral("安装游戏.apk失败")),
             QStringList({QStringLiteral("\"%1\"安装游戏.apk失败").arg(nameOf(QStringLiteral("1")))}));
    QCOMPARE(m_pLog->lines().filter(QStringLiteral("安装游戏.apk成功")).size(), 2);
}

QTEST_MAIN(TestCmdPathFarm)
#include "tst_cmdpath_farm.moc"
