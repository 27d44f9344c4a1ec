// The command server's framing, user check, dispatch and file receive, with no emulator product
// configured: every launcher call then fails with 62, which travels the whole path to the console.
#include "commandpool.h"
#include "consoleharness.h"
#include "farmtrust.h"
#include "installrspsormgr.h"
#include "jsoncodec.h"
#include "notifierrun.h"
#include "simusettings.h"
#include "simutcprcvobj.h"

#include <QAtomicInt>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

class TestCmdServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void foreignOrMissingUserDoesNothing();
    void malformedDocumentIsDroppedAndServerGoesOn();
    void startFailureTravelsBackInDocumentOrder();
    void documentSplitOverTwoSegmentsWorks();
    void stalledDocumentIsDroppedWithoutBlockingOthers();
    void installInSameSegmentReceivesExactlyTheFile_data();
    void installInSameSegmentReceivesExactlyTheFile();
    void installThatStallsGives24AndInstancesRunAgain();
    void remoteDesktopKindsReachTheirSignals();
    void fileReceiveTakesExactlyTheAnnouncedSize();
    void commandsBeyondThePoolWaitAndInstallsRunOneAtATime();
    void onlyCommandsSignedWithTheFarmKeyRun();

private:
    QByteArray startDoc(const QStringList& idxs, int iTime, const QString& user = QStringLiteral("alice"));

    QTemporaryDir* m_pDir = nullptr;
    ResultServer* m_pResults = nullptr;
    OperLogCapture* m_pLog = nullptr;
    AgentCommandServer* m_pAgent = nullptr;
};

void TestCmdServer::init()
{
    m_pDir = new QTemporaryDir;
    QVERIFY(m_pDir->isValid());
    SimuSettings::setDataDir(m_pDir->path());
    SimuSettings::setSimuType(0);
    SimuSettings::setPcNickName(QStringLiteral("机房一"));
    signIn(QStringLiteral("alice"));
    m_pResults = new ResultServer;
    QVERIFY(m_pResults->listen());
    SimuTcpRcvObj::SetDocumentWaitMs(SimuTcpRcvObj::kDocumentWaitMs);
    RcvFileRspsorMgr::SetStallTimeoutMs(RcvFileRspsorMgr::kStallTimeoutMs);
    m_pLog = new OperLogCapture(m_pDir->path() + QStringLiteral("/log"));
    SimuTcpRcvObj::Options options = m_pResults->agentOptions();
    options.notifier.attemptWaitMs = 2000;
    m_pAgent = new AgentCommandServer(options);
    QVERIFY(m_pAgent->start());
}

void TestCmdServer::cleanup()
{
    delete m_pAgent;
    delete m_pLog;
    delete m_pResults;
    delete m_pDir;
}

QByteArray TestCmdServer::startDoc(const QStringList& idxs, int iTime, const QString& user)
{
    return ConsoleClient::makeDoc(ConsoleClient::makeOpers(eOperStartup, idxs, iTime), user);
}

void TestCmdServer::foreignOrMissingUserDoesNothing()
{
    QVERIFY(ConsoleClient::send(m_pAgent->port(),
                                startDoc({QStringLiteral("1")}, 50, QStringLiteral("mallory"))));
    signIn(QString()); // nobody signed in: not even an empty user name is accepted
    QVERIFY(ConsoleClient::send(m_pAgent->port(), startDoc({QStringLiteral("2")}, 50, QString())));
    QTest::qWait(400);
    QVERIFY(AgentCommandServer::waitIdle(10000));
    QCOMPARE(m_pResults->reports().size(), 0);
    QVERIFY(m_pLog->lines().isEmpty());
    QVERIFY(!SimuSettings::value(QStringLiteral("simu2/1")).isValid());
    QVERIFY(!SimuSettings::value(QStringLiteral("simu2/2")).isValid());
}

void TestCmdServer::malformedDocumentIsDroppedAndServerGoesOn()
{
    QTcpSocket* pSocket = nullptr;
    ConsoleClient::Options keep;
    keep.keepOpen = true;
    QVERIFY(ConsoleClient::send(m_pAgent->port(), "[\"not a command\"]", QByteArray(), keep, &pSocket));
    QVERIFY(pSocket->state() == QAbstractSocket::UnconnectedState || pSocket->waitForDisconnected(10000));
    delete pSocket;

    QVERIFY(ConsoleClient::send(m_pAgent->port(), startDoc({QStringLiteral("1")}, 9)));
    QVERIFY(m_pResults->waitForReports(1, 10000));
    QCOMPARE(m_pResults->reports().first().oper.iReplyRet, 62);
}

void TestCmdServer::startFailureTravelsBackInDocumentOrder()
{
    QVERIFY(
        ConsoleClient::send(m_pAgent->port(), startDoc({QStringLiteral("4"), QStringLiteral("2")}, 1000)));
    QVERIFY(m_pResults->waitForReports(2, 10000));
    const auto& reps = m_pResults->reports();
    QCOMPARE(reps.at(0).oper.memuIdx, QStringLiteral("4"));
    QCOMPARE(reps.at(1).oper.memuIdx, QStringLiteral("2"));
    for (const ConsoleReport& rep : reps) {
        QCOMPARE(rep.oper.iReplyRet, 62);
        // The agent answers the address the command came from, not the one the document names.
        QCOMPARE(rep.oper.centerIP, QStringLiteral("127.0.0.1"));
        QCOMPARE(rep.oper.replyRet, QStringLiteral("机房一打开模拟器\"%1\"失败。\r\n").arg(rep.oper.memuIdx));
        QCOMPARE(rep.oper.iTime, 1001);
        QVERIFY(rep.tail.isEmpty());
    }
    QVERIFY(AgentCommandServer::waitIdle(10000));
    for (const QString& idx : {QStringLiteral("4"), QStringLiteral("2")}) {
        struSimuRecord rec;
        SimuSettings::loadSimuRecord(idx, rec);
        QCOMPARE(rec.iState, int(eStateNotStarted));
        QCOMPARE(rec.iPid, 0);
        QCOMPARE(rec.iTime, 1003);
    }
    const QStringList expected = {
        QStringLiteral("收到操作指令，启动\"4\""), QStringLiteral("\"4\"启动中,请耐心等待…"),
        QStringLiteral("\"4\"启动失败"),           QStringLiteral("收到操作指令，启动\"2\""),
        QStringLiteral("\"2\"启动中,请耐心等待…"), QStringLiteral("\"2\"启动失败")};
    QTRY_COMPARE_WITH_TIMEOUT(m_pLog->lines().size(), expected.size(), 10000);
    QCOMPARE(m_pLog->lines(), expected);
}

void TestCmdServer::documentSplitOverTwoSegmentsWorks()
{
    const QByteArray doc = startDoc({QStringLiteral("7")}, 20);
    ConsoleClient::Options opt;
    opt.splitAt = doc.size() / 2;
    opt.pauseMs = 300;
    QVERIFY(ConsoleClient::send(m_pAgent->port(), doc, QByteArray(), opt));
    QVERIFY(m_pResults->waitForReports(1, 10000));
    QCOMPARE(m_pResults->reports().first().oper.memuIdx, QStringLiteral("7"));
}

void TestCmdServer::stalledDocumentIsDroppedWithoutBlockingOthers()
{
    // Long enough that the other command, even on a busy machine, is done well before it is over.
    constexpr int kDocumentWaitMs = 3000;
    SimuTcpRcvObj::SetDocumentWaitMs(kDocumentWaitMs);
    const QByteArray doc = startDoc({QStringLiteral("1")}, 30);
    QTcpSocket* pStalled = nullptr;
    ConsoleClient::Options keep;
    keep.keepOpen = true;
    keep.splitAt = 0;
    QVERIFY(ConsoleClient::send(m_pAgent->port(), doc.left(doc.size() - 3), QByteArray(), keep, &pStalled));

    // Another console's command is carried out while the first one's document is still missing:
    // its report comes before the agent gives up on the first connection.
    QElapsedTimer clock;
    clock.start();
    QVERIFY(ConsoleClient::send(m_pAgent->port(), startDoc({QStringLiteral("2")}, 31)));
    QVERIFY(m_pResults->waitForReports(1, 10000));
    QVERIFY2(clock.elapsed() < kDocumentWaitMs, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(pStalled->state(), QAbstractSocket::ConnectedState);
    QCOMPARE(m_pResults->reports().first().oper.memuIdx, QStringLiteral("2"));

    // The incomplete one is closed by the agent once the document wait is over, and never run.
    QVERIFY(pStalled->waitForDisconnected(2 * kDocumentWaitMs + 10000));
    delete pStalled;
    QTest::qWait(200);
    QCOMPARE(m_pResults->reports().size(), 1);
}

void TestCmdServer::installInSameSegmentReceivesExactlyTheFile_data()
{
    QTest::addColumn<int>("pauseMs");
    QTest::newRow("file in the document's segment") << 0;
    QTest::newRow("file after the console's pause") << 100;
}

void TestCmdServer::installInSameSegmentReceivesExactlyTheFile()
{
    QFETCH(int, pauseMs);
    QByteArray apk(3 * 8192 + 123, Qt::Uninitialized);
    QRandomGenerator gen(7);
    for (char& c : apk)
        c = char(gen.bounded(256));
    const QStringList idxs = {QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2")};
    const auto opers =
        ConsoleClient::makeOpers(eOperInstall, idxs, 500, apk.size(), QStringLiteral("game.apk"));
    // Document, file and some stray bytes in one write: nothing lost, nothing extra kept.
    const QByteArray doc = ConsoleClient::makeDoc(opers, QStringLiteral("alice"));
    ConsoleClient::Options opt;
    opt.pauseMs = pauseMs;
    if (pauseMs == 0)
        QVERIFY(ConsoleClient::send(m_pAgent->port(), doc + apk + QByteArray("STRAY")));
    else
        QVERIFY(ConsoleClient::send(m_pAgent->port(), doc, apk + QByteArray("STRAY"), opt));

    QVERIFY(m_pResults->waitForReports(3, 10000));
    for (int i = 0; i < 3; ++i) {
        const ConsoleReport& rep = m_pResults->reports().at(i);
        QCOMPARE(rep.oper.iOperType, int(eOperInstall));
        QCOMPARE(rep.oper.memuIdx, idxs.at(i));
        QCOMPARE(rep.oper.fileName, QStringLiteral("game.apk"));
        QCOMPARE(rep.oper.iReplyRet, 62);
        QCOMPARE(rep.oper.replyRet, QStringLiteral("机房一的\"%1\"安装失败").arg(idxs.at(i)));
    }
    QVERIFY(!QFile::exists(SimuSettings::dwnPath(QStringLiteral("game.apk"))));
    // The last report leaves before the group's after-state hook has run; the file is gone by then.
    QVERIFY(AgentCommandServer::waitIdle(10000));
    QVERIFY(!QFile::exists(InstallRspsorMgr::ReceivedApkPath()));
    for (const QString& idx : idxs) {
        struSimuRecord rec;
        SimuSettings::loadSimuRecord(idx, rec);
        QCOMPARE(rec.iState, int(eStateRunning));
        QCOMPARE(rec.iTime, 3); // notifier + 1, hook + 2 (an install does not set the command time)
    }
}

void TestCmdServer::installThatStallsGives24AndInstancesRunAgain()
{
    // The stall wait is what the test looks into the "installing" state during: not too short.
    RcvFileRspsorMgr::SetStallTimeoutMs(1500);
    const QStringList idxs = {QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2")};
    const auto opers = ConsoleClient::makeOpers(eOperInstall, idxs, 600, 100000, QStringLiteral("a.apk"));
    QTcpSocket* pSocket = nullptr;
    ConsoleClient::Options keep;
    keep.keepOpen = true;
    QVERIFY(ConsoleClient::send(m_pAgent->port(), ConsoleClient::makeDoc(opers, QStringLiteral("alice")),
                                QByteArray(1000, 'x'), keep, &pSocket));
    // While the file is awaited the instances show as installing.
    QTRY_VERIFY_WITH_TIMEOUT(SimuSettings::value(QStringLiteral("simu2/2")).isValid(), 10000);
    struSimuRecord during;
    SimuSettings::loadSimuRecord(QStringLiteral("2"), during);
    QCOMPARE(during.iState, int(eStateInstalling));

    QVERIFY(pSocket->waitForDisconnected(10000)); // the agent gives up and closes
    delete pSocket;
    QVERIFY(AgentCommandServer::waitIdle(10000)); // the states are put back after the close
    for (const QString& idx : idxs) {
        struSimuRecord rec;
        SimuSettings::loadSimuRecord(idx, rec);
        QCOMPARE(rec.iState, int(eStateRunning));
    }
    QCOMPARE(m_pResults->reports().size(), 0);                    // nothing was installed, nothing reported
    QVERIFY(!QFile::exists(InstallRspsorMgr::ReceivedApkPath())); // the part received is not kept

    // The command thread serves the next command afterwards.
    QVERIFY(ConsoleClient::send(m_pAgent->port(), startDoc({QStringLiteral("5")}, 1)));
    QVERIFY(m_pResults->waitForReports(1, 10000));
}

void TestCmdServer::remoteDesktopKindsReachTheirSignals()
{
    QSignalSpy begin(m_pAgent->object(), &SimuTcpRcvObj::sigRmtDesktopBegin);
    QSignalSpy end(m_pAgent->object(), &SimuTcpRcvObj::sigRmtDesktopEnd);
    auto opers = ConsoleClient::makeOpers(eOperRmtDesktopBegin, {QStringLiteral("remoteDesktop")}, 1, 6012);
    QTcpSocket* pSocket = nullptr;
    ConsoleClient::Options keep;
    keep.keepOpen = true;
    QVERIFY(ConsoleClient::send(m_pAgent->port(), ConsoleClient::makeDoc(opers, QStringLiteral("alice")),
                                QByteArray(), keep, &pSocket));
    QTRY_COMPARE_WITH_TIMEOUT(begin.count(), 1, 10000);
    QCOMPARE(begin.first().at(0).toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(begin.first().at(1).toString(), QStringLiteral("remoteDesktop"));
    QCOMPARE(begin.first().at(2).toInt(), 6012);
    QVERIFY(pSocket->state() == QAbstractSocket::UnconnectedState || pSocket->waitForDisconnected(10000));
    delete pSocket;

    opers = ConsoleClient::makeOpers(eOperRmtDesktopEnd, {QStringLiteral("closeRmtDsktp")}, 2);
    QVERIFY(ConsoleClient::send(m_pAgent->port(), ConsoleClient::makeDoc(opers, QStringLiteral("alice"))));
    QTRY_COMPARE_WITH_TIMEOUT(end.count(), 1, 10000);
    QCOMPARE(m_pResults->reports().size(), 0);
}

// The receive on its own, on a connected socket pair: exact sizes, a stall, a size of 0, a target
// that cannot be opened.
void TestCmdServer::fileReceiveTakesExactlyTheAnnouncedSize()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(client.waitForConnected(10000));
    QVERIFY(server.waitForNewConnection(10000));
    QTcpSocket* pPeer = server.nextPendingConnection();
    const QString path = m_pDir->filePath(QStringLiteral("part.bin"));
    auto readFile = [&] {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    };

    // 3 x 8192 bytes, the first 100 of which came with the document, plus stray bytes behind them.
    QByteArray body(3 * 8192, Qt::Uninitialized);
    for (int i = 0; i < body.size(); ++i)
        body[i] = char(i * 7);
    client.write(body.mid(100) + "STRAY");
    QVERIFY(client.waitForBytesWritten(10000));
    {
        RcvFileRspsorMgr mgr(pPeer, body.left(100), m_pResults->notifierOptions());
        const CCommResult cRet = mgr.RcvFile(path, body.size());
        QCOMPARE(cRet.iRet, 0);
        QCOMPARE(cRet.str, path);
        QVERIFY(readFile() == body);
    }
    pPeer->readAll(); // drop the stray bytes

    // Half the file, then nothing: 24 once the stall wait is over; the partial file stays.
    RcvFileRspsorMgr::SetStallTimeoutMs(300);
    client.write(QByteArray(500, 'p'));
    QVERIFY(client.waitForBytesWritten(10000));
    {
        RcvFileRspsorMgr mgr(pPeer, QByteArray(), m_pResults->notifierOptions());
        QElapsedTimer clock;
        clock.start();
        const CCommResult cRet = mgr.RcvFile(path, 1000);
        QCOMPARE(cRet.iRet, 24);
        QCOMPARE(cRet.str, QStringLiteral("传输文件出错"));
        QVERIFY(clock.elapsed() >= 250);
        QCOMPARE(readFile().size(), 500);
    }

    // A size of 0 is an empty file at once; a folder as target cannot be opened.
    {
        RcvFileRspsorMgr mgr(pPeer, QByteArray("xyz"), m_pResults->notifierOptions());
        QCOMPARE(mgr.RcvFile(path, 0).iRet, 0);
        QCOMPARE(readFile().size(), 0);
        const CCommResult cRet = mgr.RcvFile(m_pDir->path(), 10);
        QCOMPARE(cRet.iRet, 17);
        QCOMPARE(cRet.str, QStringLiteral("传输文件时，无法打开文件%1").arg(m_pDir->path()));
    }
}

namespace {
// A command that runs until the test lets it end, counting how many run at once.
class HeldGroup : public RspsorGrpOperMgr
{
public:
    struct struCounts
    {
        QAtomicInt running, most, exclusiveRunning, exclusiveMost, done;
        QSemaphore release;
    };
    HeldGroup(struCounts& counts, bool exclusive)
        : RspsorGrpOperMgr(struNotifierOptions()), m_counts(counts), m_exclusive(exclusive)
    {
    }
    QList<CCommResult> RunGroup() override
    {
        raise(m_counts.running, m_counts.most);
        if (m_exclusive)
            raise(m_counts.exclusiveRunning, m_counts.exclusiveMost);
        m_counts.release.acquire();
        if (m_exclusive)
            m_counts.exclusiveRunning.deref();
        m_counts.running.deref();
        m_counts.done.ref();
        return {};
    }

private:
    static void raise(QAtomicInt& now, QAtomicInt& most)
    {
        const int n = now.fetchAndAddOrdered(1) + 1;
        for (int m = most.loadAcquire(); n > m && !most.testAndSetOrdered(m, n); m = most.loadAcquire()) {
        }
    }
    struCounts& m_counts;
    bool m_exclusive;
};
} // namespace

// Ten commands on a pool of three threads: three run, the rest wait in order; the two installs
// among them never run at the same time, and other commands pass an install that waits.
void TestCmdServer::commandsBeyondThePoolWaitAndInstallsRunOneAtATime()
{
    HeldGroup::struCounts counts;
    {
        CommandPool pool(3);
        for (int i = 0; i < 10; ++i) {
            const bool install = i == 1 || i == 2;
            pool.submit(new HeldGroup(counts, install), nullptr, install);
        }
        QTRY_COMPARE(counts.running.loadAcquire(), 3);
        QCOMPARE(pool.threadCount(), 3);
        QCOMPARE(pool.waitingCount(), 7);
        for (int i = 0; i < 10; ++i) {
            counts.release.release();
            QTRY_COMPARE(counts.done.loadAcquire(), i + 1);
        }
        QTRY_COMPARE(pool.busyCount(), 0);
        QCOMPARE(pool.waitingCount(), 0);
        QCOMPARE(pool.threadCount(), 3);
    }
    QCOMPARE(counts.most.loadAcquire(), 3);
    QCOMPARE(counts.exclusiveMost.loadAcquire(), 1);
}

// What a LAN host without the farm key can send: a plain command, one signed with another key or for
// another channel, one changed after it was signed, a stale one, and a copy of one already taken. None
// runs or reports; the real command runs once and its report is signed for the result channel. With
// acceptUnsigned=1 the plain command runs too, and the others are still refused.
void TestCmdServer::onlyCommandsSignedWithTheFarmKeyRun()
{
    const QList<struSimuOper> opers = ConsoleClient::makeOpers(eOperStartup, {QStringLiteral("7")}, 70);
    const QString alice = QStringLiteral("alice");
    const auto signedWith = [&](const QByteArray& key, MsgAuth::eChannel channel, qint64 nowMs = 0) {
        QJsonObject doc = JsonCodec::commandDocObject(opers, alice);
        MsgAuth::signJson(doc, key, channel, QByteArray(), nowMs);
        return doc;
    };
    const auto bytes = [](const QJsonObject& doc) {
        return QJsonDocument(doc).toJson(QJsonDocument::Compact);
    };
    QJsonObject changed = signedWith(kTestFarmKey, MsgAuth::eChannel::Command);
    QJsonObject record = changed.value(QStringLiteral("0")).toObject();
    record.insert(QStringLiteral("memuIdx"), QStringLiteral("8"));
    changed.insert(QStringLiteral("0"), record);
    const QByteArray plain = JsonCodec::serializeCommandDoc(opers, alice);
    const QList<QByteArray> forged{
        plain,
        bytes(signedWith(QByteArray(32, 'x'), MsgAuth::eChannel::Command)),
        bytes(signedWith(kTestFarmKey, MsgAuth::eChannel::Result)),
        bytes(changed),
        bytes(signedWith(kTestFarmKey, MsgAuth::eChannel::Command, MsgAuth::currentTimeMs() - 60000)),
    };
    const QByteArray real = ConsoleClient::makeDoc(opers, alice);
    for (const QByteArray& doc : forged + QList<QByteArray>{real, real})
        QVERIFY(ConsoleClient::send(m_pAgent->port(), doc));
    QVERIFY(m_pResults->waitForReports(1, 10000));
    QTest::qWait(400);
    QVERIFY(AgentCommandServer::waitIdle(10000));
    QCOMPARE(m_pResults->reports().size(), 1);
    QCOMPARE(m_pResults->reports().first().oper.memuIdx, QStringLiteral("7"));
    QVERIFY(!SimuSettings::value(QStringLiteral("simu2/8")).isValid());
    MsgVerifier consoleSide(MsgAuth::eChannel::Result);
    QCOMPARE(consoleSide.checkJson(QJsonDocument::fromJson(m_pResults->reports().first().document).object(),
                                   kTestFarmKey),
             MsgAuth::eVerdict::Ok);

    FarmTrust::setAcceptUnsigned(true);
    const auto restore = qScopeGuard([] { FarmTrust::setAcceptUnsigned(false); });
    for (const QByteArray& doc : forged)
        QVERIFY(ConsoleClient::send(m_pAgent->port(), doc));
    QVERIFY(m_pResults->waitForReports(2, 10000));
    QTest::qWait(400);
    QVERIFY(AgentCommandServer::waitIdle(10000));
    QCOMPARE(m_pResults->reports().size(), 2);
}

QTEST_MAIN(TestCmdServer)
#include "tst_cmdserver.moc"
