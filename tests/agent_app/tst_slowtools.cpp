// One slow emulator or tool affects only itself: the screenshot pool and the discovery responder on
// their threads against a farm whose tools are slowed (farmsim toolDelayMs, listDelayMs), a test
// acting as the console that queries every half second.
//   - one running instance whose adb takes 30 s: the others' thumbnails keep changing from answer to
//     answer, every answer comes at once; then the product's listing stalls too: the instances known
//     to run are still captured;
//   - an agent starting while every tool takes 3 s: discovery answers the first query within the
//     first read's bound, and lists the emulators once the inventory is read.
#include "agentcontroller.h"
#include "consoleharness.h"
#include "discovery.h"
#include "farmfixture.h"
#include "farmtrust.h"
#include "loginret.h"
#include "screenshotpoolobj.h"
#include "simusettings.h"
#include "simustatestore.h"
#include "udprceiverobj.h"

#include <QNetworkDatagram>
#include <QTcpServer>
#include <QThread>
#include <QUdpSocket>
#include <QtTest>

namespace {

constexpr int kQueryEveryMs = 500;

struct struAnswer
{
    qint64 waitedMs = -1;
    QList<Discovery::struDecodedReply> replies;
};

// The console's side: one query, every datagram of its answer.
struAnswer ask(QUdpSocket& console, quint16 port, int type, int expected, int timeoutMs = 3000)
{
    QElapsedTimer clock;
    clock.start();
    console.writeDatagram(FarmTrust::query(type, QStringLiteral("alice")), QHostAddress::LocalHost, port);
    struAnswer answer;
    while (answer.replies.size() < expected && clock.elapsed() < timeoutMs) {
        if (!console.hasPendingDatagrams() && !console.waitForReadyRead(50))
            continue;
        Discovery::struDecodedReply reply;
        if (Discovery::decodeReply(console.receiveDatagram().data(), reply) == Discovery::eDecodeStatus::Ok)
            answer.replies.append(reply);
        if (answer.waitedMs < 0)
            answer.waitedMs = clock.elapsed();
    }
    return answer;
}

template <typename T> void stopOnThread(QThread& thread, T* pObj)
{
    QMetaObject::invokeMethod(
        pObj, [pObj] { delete pObj; }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait(30000);
}

} // namespace

class TstSlowTools : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void othersKeepRefreshingPastASlowInstanceAndASlowListing();
    void discoveryAnswersWhileTheStartupScanIsSlow();
};

void TstSlowTools::initTestCase()
{
    FARMSIM_OR_SKIP();
}

void TstSlowTools::cleanup()
{
    LoginRecord::clear();
}

void TstSlowTools::othersKeepRefreshingPastASlowInstanceAndASlowListing()
{
    FarmFixture farm;
    QVERIFY2(farm.init(FarmFixture::LdPlayer, 4), qPrintable(farm.error()));
    QVERIFY(farm.setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("0")));
    const QStringList idx = farm.indexes();
    for (const QString& i : idx) {
        QVERIFY(farm.startInstance(i));
        QVERIFY(farm.waitInstance(i, QStringLiteral("online"), true));
        SimuSettings::updateSimuRecord(i, [](struSimuRecord& rec) { rec.iState = eStateRunning; });
    }
    const QString slow = idx.at(1);
    QVERIFY(farm.setKnob(QStringLiteral("toolDelayMs"), QStringLiteral("30000"), slow));
    signIn(QStringLiteral("alice"));

    QThread poolThread;
    QThread discoveryThread;
    auto* pPool = new ScreenshotPoolObj({2000, 3000});
    auto* pResponder = new UdpRceiverObj(0, QHostAddress::LocalHost);
    pPool->moveToThread(&poolThread);
    pResponder->moveToThread(&discoveryThread);
    connect(&poolThread, &QThread::started, pPool, &ScreenshotPoolObj::slInitPool);
    connect(&discoveryThread, &QThread::started, pResponder, &UdpRceiverObj::slInitSocket);
    QSignalSpy captured(pPool, &ScreenshotPoolObj::sigCaptured);
    discoveryThread.start();
    QTRY_VERIFY(pResponder->localPort() != 0);
    QUdpSocket console;
    QVERIFY(console.bind(QHostAddress::LocalHost, 0));
    // The console looks before the pool starts, as it would at an agent that is up.
    ask(console, pResponder->localPort(), Discovery::eQuerySimuState, idx.size());
    poolThread.start();

    // Every answer comes at once, and the thumbnails of the instances that are not slow change.
    const auto watch = [&](int ms, const QString& phase) {
        QHash<QString, QSet<QByteArray>> seen;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms) {
            const struAnswer answer =
                ask(console, pResponder->localPort(), Discovery::eQuerySimuState, idx.size());
            if (answer.replies.size() != idx.size() || answer.waitedMs > 1500)
                return QStringLiteral("%1: %2 of %3 replies after %4 ms")
                    .arg(phase)
                    .arg(answer.replies.size())
                    .arg(idx.size())
                    .arg(answer.waitedMs);
            for (const auto& reply : answer.replies)
                if (!reply.jpeg.isEmpty())
                    seen[reply.header.memuIdxText()].insert(reply.jpeg);
            QTest::qWait(kQueryEveryMs);
        }
        for (const QString& i : idx) {
            if (i != slow && seen.value(i).size() < 3)
                return QStringLiteral("%1: %2 showed %3 pictures").arg(phase, i).arg(seen.value(i).size());
        }
        return seen.value(slow).isEmpty() ? QString()
                                          : QStringLiteral("%1: the slow one has a picture").arg(phase);
    };
    QCOMPARE(watch(6000, QStringLiteral("slow adb")), QString());

    // The listing stalls now (past the pool's deadline): the instances known to run are captured on.
    QVERIFY(farm.setKnob(QStringLiteral("listDelayMs"), QStringLiteral("30000")));
    QTest::qWait(2500);
    const int before = captured.count();
    QCOMPARE(watch(5000, QStringLiteral("slow listing")), QString());
    int ok = 0;
    for (int i = before; i < captured.count(); ++i)
        ok += captured.at(i).at(1).toInt() == 0;
    QVERIFY2(ok >= 3 * 3, qPrintable(QString::number(ok)));
    QCOMPARE(SimuStateStore::instance().runningList(), idx);
    QVERIFY(farm.setKnob(QStringLiteral("listDelayMs"), QString()));
    QVERIFY(farm.setKnob(QStringLiteral("toolDelayMs"), QString(), slow));
    stopOnThread(poolThread, pPool);
    stopOnThread(discoveryThread, pResponder);
}

void TstSlowTools::discoveryAnswersWhileTheStartupScanIsSlow()
{
    FarmFixture farm;
    QVERIFY2(farm.init(FarmFixture::LdPlayer, 5), qPrintable(farm.error()));
    QVERIFY(farm.setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("0")));
    QVERIFY(farm.startInstance(farm.indexes().first()));
    QVERIFY(farm.setKnob(QStringLiteral("toolDelayMs"), QStringLiteral("3000")));
    signIn(QStringLiteral("alice"));
    QUdpSocket probe;
    QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
    AgentController::Options options;
    options.udpPort = probe.localPort();
    probe.close();
    QTcpServer tcp;
    QVERIFY(tcp.listen(QHostAddress::LocalHost, 0));
    options.tcpPort = tcp.serverPort();
    tcp.close();
    QUdpSocket console;
    QVERIFY(console.bind(QHostAddress::LocalHost, 0));

    AgentController agent(options);
    QSignalSpy scanned(&agent, &AgentController::sigInventoryScanned);
    agent.startWorkers();
    agent.scanInventory();
    // The scan runs the slow tool twice; the first answer does not wait for it.
    QElapsedTimer clock;
    clock.start();
    struAnswer first;
    while (first.replies.isEmpty() && clock.elapsed() < 10000)
        first = ask(console, options.udpPort, Discovery::eQueryPcInfo, 1, 500);
    QVERIFY2(!first.replies.isEmpty(), "no answer during the scan");
    QVERIFY2(clock.elapsed() < 4000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(scanned.isEmpty());
    // Once the inventory is read, the answers list every emulator.
    QTRY_VERIFY_WITH_TIMEOUT(
        ask(console, options.udpPort, Discovery::eQueryPcInfo, 1).replies.value(0).simus.size() == 5, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!scanned.isEmpty(), 30000);
    agent.shutdown();
}

QTEST_MAIN(TstSlowTools)
#include "tst_slowtools.moc"
