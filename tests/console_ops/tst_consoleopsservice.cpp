// The operations service: every PC's deliveries on one thread, side by side, each PC's in order,
// against agents on loopback of which some never answer a connection (slower than every wait of the
// console); what it reports back; its end, which lets what was submitted go out first.
#include "agentregistry.h"
#include "clientnetoperobj.h"
#include "consoleopsservice.h"
#include "jsoncodec.h"
#include "loginret.h"
#include "opercodes.h"
#include "sentoperledger.h"
#include "simurecords.h"
#include "standinagents.h"

#include <QFile>
#include <QThread>
#include <QtTest>

namespace {

int threadCount()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("Threads:"))
            return line.mid(8).trimmed().toInt();
    }
    return -1;
}

std::shared_ptr<AgentRegistry> registryOf(const QStringList& pcs, const QStringList& addrs)
{
    auto reg = std::make_shared<AgentRegistry>();
    for (int i = 0; i < pcs.size(); ++i) {
        struPcUdpInfo h;
        h.setPcName(pcs.at(i));
        h.setNickName(QStringLiteral("机房%1").arg(i));
        h.setIpAddr(addrs.at(i));
        reg->applyPcInfo(h, {struSimuEntry{0, QStringLiteral("0"), QStringLiteral("a")},
                             struSimuEntry{0, QStringLiteral("1"), QStringLiteral("b")}});
    }
    return reg;
}

} // namespace

class TstConsoleOpsService : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void everyPcOnOneThreadInOrderBesideDeadOnes();
    void stopLetsSubmittedOperationsOut();
};

void TstConsoleOpsService::initTestCase()
{
    CLoginRet login;
    login.strUserName = QStringLiteral("alice");
    LoginRecord::set(login);
}

// 40 live PCs and 10 switched off, three operations each. The live ones are all delivered while the
// dead ones are still in their connect waits, in their order with their arguments, while the dead ones wait
// theirs out one after another; the process gains one thread however many PCs there are.
void TstConsoleOpsService::everyPcOnOneThreadInOrderBesideDeadOnes()
{
    RecordingAgent agent;
    QVERIFY(agent.ok());
    BlackHole hole;
    if (!hole.open("127.0.0.2", agent.port()))
        QSKIP("no second loopback address with a full listen queue here");
    QStringList pcs, addrs;
    for (int i = 0; i < 50; ++i) {
        pcs << QStringLiteral("pc-%1").arg(i);
        addrs << (i % 5 == 4 ? QStringLiteral("127.0.0.2") : QStringLiteral("127.0.0.1"));
    }
    auto reg = registryOf(pcs, addrs);
    const int threadsBefore = threadCount();
    ConsoleOpsService::Options o;
    o.agentPort = agent.port();
    o.connectWaitMs = 2000;
    auto ledger = std::make_shared<SentOperLedger>();
    ConsoleOpsService ops(reg, ledger, o);
    QSignalSpy states(&ops, &ConsoleOpsService::sigSimuStates);
    QSignalSpy failures(&ops, &ConsoleOpsService::sigNetOperReplyResult);
    QSignalSpy delivered(&ops, &ConsoleOpsService::sigOperDelivered);
    QElapsedTimer clock;
    clock.start();
    for (const QString& pc : pcs) {
        QVERIFY(ops.submit({pc, eOperStartup, {"0", "1"}}));
        QVERIFY(ops.submit({pc, eOperRename, {"1"}, QStringLiteral("新名字 ") + pc}));
        QVERIFY(ops.submit({pc, eOperClose, {"0"}}));
    }
    QVERIFY(!ops.submit({QStringLiteral("nobody"), eOperStartup, {"0"}}));
    QCOMPARE(ops.clientCount(), 50);
    QCOMPARE(ops.client(pcs.first())->thread(), ops.deliveryThread());
    QCOMPARE(ops.client(pcs.last())->thread(), ops.deliveryThread());
    int peakThreads = threadCount();
    QDeadlineTimer live(10000);
    while (agent.docs.size() < 120 && !live.hasExpired()) {
        peakThreads = qMax(peakThreads, threadCount());
        QTest::qWait(10);
    }
    QCOMPARE(agent.docs.size(), 120);
    // Long before the dead PCs' third operations fail (a connection the agent's listen queue had no
    // room for at once comes a retransmission later, a second or so).
    QVERIFY2(failures.size() < 20, qPrintable(QString::number(failures.size())));
    // What each live PC's agent got, and in which order the PC's deliveries ended (a PC's next
    // operation connects only once the one before it has closed its connection).
    QHash<QString, QStringList> got, order;
    for (const QList<struSimuOper>& doc : agent.docs) {
        const struSimuOper& o0 = doc.first();
        got[o0.rmtPcName] << QStringLiteral("%1:%2:%3").arg(o0.iOperType).arg(doc.size()).arg(o0.fileName);
    }
    for (const QList<QVariant>& d : delivered)
        order[d.at(0).toString()] << QString::number(d.at(1).toInt());
    for (int i = 0; i < 50; i += 7) {
        if (i % 5 == 4)
            continue;
        QStringList docs = got.value(pcs.at(i));
        docs.sort();
        QCOMPARE(docs, (QStringList{"0:2:", "1:1:", QStringLiteral("4:1:新名字 %1").arg(pcs.at(i))}));
        QCOMPARE(order.value(pcs.at(i)), (QStringList{"0", "4", "1"}));
    }

    // The dead PCs: each operation a full connect wait after the one before; code 14 shown once
    // per operation, the targets back to not started.
    QTRY_COMPARE_WITH_TIMEOUT(failures.size(), 30, 15000);
    QVERIFY2(clock.elapsed() >= 3 * 2000 - 100, qPrintable(QString::number(clock.elapsed())));
    peakThreads = qMax(peakThreads, threadCount());
    QVERIFY2(threadsBefore > 0 && peakThreads - threadsBefore <= 2,
             qPrintable(QStringLiteral("%1 threads before, %2 at most").arg(threadsBefore).arg(peakThreads)));
    auto* p = *static_cast<CCommResult* const*>(failures.first().at(0).constData());
    QCOMPARE(p->iRet, OpsCode::ConnectAgentFailed);
    QCOMPARE(p->str, QStringLiteral("无法连接客户端:\"机房4\"（127.0.0.2）"));
    for (const QList<QVariant>& f : failures)
        delete *static_cast<CCommResult* const*>(f.at(0).constData());
    QTRY_COMPARE(delivered.size(), 150);
    QCOMPARE(ops.pendingCount(), 0);
    QCOMPARE(ledger->size(), 40 * 4); // the live targets wait for their results: start 2, rename, close
    // pc-4's start: starting, then not started (-1), then not started (T+1).
    QList<QList<QVariant>> pc4;
    for (const QList<QVariant>& s : states) {
        if (s.at(0).toString() == QStringLiteral("pc-4") && s.at(1).toStringList().size() == 2)
            pc4 << s;
    }
    QCOMPARE(pc4.size(), 3);
    QCOMPARE(pc4.at(0).at(2).toInt(), int(eStateStarting));
    QCOMPARE(pc4.at(1).at(2).toInt(), int(eStateNotStarted));
    QCOMPARE(pc4.at(1).at(3).toInt(), -1);
    QCOMPARE(pc4.at(2).at(3).toInt(), pc4.at(0).at(3).toInt() + 1);
}

// What was submitted before the end still goes out; after it nothing is taken.
void TstConsoleOpsService::stopLetsSubmittedOperationsOut()
{
    RecordingAgent agent;
    QVERIFY(agent.ok());
    auto reg = registryOf({QStringLiteral("pc")}, {QStringLiteral("127.0.0.1")});
    ConsoleOpsService::Options o;
    o.agentPort = agent.port();
    ConsoleOpsService ops(reg, std::make_shared<SentOperLedger>(), o);
    QVERIFY(ops.submit({QStringLiteral("pc"),
                        eOperRmtDesktopBegin,
                        {ClientNetOperObj::RemoteDesktopBeginMarker()},
                        QString(),
                        6123,
                        QStringLiteral("run-1")}));
    QVERIFY(
        ops.submit({QStringLiteral("pc"), eOperRmtDesktopEnd, {ClientNetOperObj::RemoteDesktopEndMarker()}}));
    QThread* delivery = ops.deliveryThread();
    ops.stop();
    QVERIFY(delivery->isFinished());
    QVERIFY(!ops.submit({QStringLiteral("pc"), eOperStartup, {"0"}}));
    QTRY_COMPARE(agent.docs.size(), 2);
    QCOMPARE(agent.docs.at(0).first().iOperType, int(eOperRmtDesktopBegin));
    QCOMPARE(agent.docs.at(0).first().iExtra, 6123);
    QCOMPARE(agent.docs.at(0).first().runId, QStringLiteral("run-1"));
    QCOMPARE(agent.docs.at(1).first().iOperType, int(eOperRmtDesktopEnd));
    QCOMPARE(agent.docs.at(1).first().runId, QStringLiteral("run-1")); // the run last begun
}

QTEST_GUILESS_MAIN(TstConsoleOpsService)
#include "tst_consoleopsservice.moc"
