// The console's window with its operations against peers played by this test on loopback: the PC
// "pc-1" answers from 127.0.0.1 (its discovery replies, its command server, its result reports), and
// another host, 127.0.0.2, forges what it can: replies and reports for pc-1, pictures of gigabytes,
// thousands of PC names, idle and junk connections. The agent's own responder is flooded with queries
// from one address.
#include "centertoolmainwnd.h"
#include "consoleopswiring_p.h"
#include "discovery.h"
#include "farmtrust.h"
#include "grpdraweroper.h"
#include "jsoncodec.h"
#include "loginret.h"
#include "mygrpdrawer.h"
#include "opercodes.h"
#include "simusettings.h"
#include "taskresultrcver.h"
#include "thumbjpeg.h"
#include "udprceiverobj.h"
#include "udpsenderobj.h"
#include "vedioboxdrawer.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

#include <memory>
#include <unistd.h>

namespace {

const QHostAddress kPcAddr(QStringLiteral("127.0.0.1"));
const QHostAddress kOtherHost(QStringLiteral("127.0.0.2"));
const QString kPc = QStringLiteral("pc-1");

qint64 residentMb()
{
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = f.readAll().split(' ');
    return fields.value(1).toLongLong() * sysconf(_SC_PAGESIZE) / (1024 * 1024);
}

int threadCount()
{
    QFile f(QStringLiteral("/proc/self/status"));
    f.open(QIODevice::ReadOnly);
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("Threads:"))
            return line.mid(8).trimmed().toInt();
    }
    return -1;
}

// A JPEG of a few hundred bytes that declares width x height pixels.
QByteArray jpegDeclaring(int width, int height)
{
    QByteArray jpeg = thumbJpeg(Qt::red);
    const int sof = jpeg.indexOf("\xFF\xC0");
    jpeg[sof + 5] = char(height >> 8);
    jpeg[sof + 6] = char(height & 0xFF);
    jpeg[sof + 7] = char(width >> 8);
    jpeg[sof + 8] = char(width & 0xFF);
    return jpeg;
}

struPcUdpInfo header(const QString& pcName, const QHostAddress& ip = kPcAddr)
{
    struPcUdpInfo h;
    h.setPcName(pcName);
    h.setNickName(QStringLiteral("机房一"));
    h.setIpAddr(ip.toString());
    h.iRunLimit = 4;
    h.iSimuType = 2;
    return h;
}

QByteArray pcInfo(const QString& pcName, const QStringList& idxs, const QHostAddress& ip = kPcAddr)
{
    QByteArray entries;
    for (const QString& idx : idxs)
        entries += Discovery::encodeSimuEntry(5555, idx, QStringLiteral("模拟器") + idx);
    return Discovery::encodePcInfoReply(header(pcName, ip), entries);
}

QByteArray simuState(const QString& pcName, const QString& idx, int state, int time, const QByteArray& jpeg)
{
    struPcUdpInfo h = header(pcName);
    h.setMemuIdx(idx);
    h.setState(state);
    h.setStateTime(time);
    return Discovery::encodeSimuStateReply(h, jpeg);
}

QByteArray report(const QString& pcName, const QString& idx, int type, int time)
{
    struSimuOper o;
    o.iOperType = type;
    o.memuIdx = idx;
    o.rmtPcName = pcName;
    o.iTime = time;
    o.iReplyRet = 0;
    return JsonCodec::serializeCommandDoc({o}, QStringLiteral("alice"));
}

// A TCP connection from `from` to the console's result server.
QTcpSocket* connectFrom(const QHostAddress& from, quint16 port, QObject* parent)
{
    auto* s = new QTcpSocket(parent);
    s->bind(from, 0);
    s->connectToHost(kPcAddr, port);
    s->waitForConnected(5000);
    return s;
}

// One peer host: its discovery socket and a command server that keeps every command it is sent.
struct Host
{
    QUdpSocket udp;
    QTcpServer commands;
    QList<struSimuOper> received;

    bool open(const QHostAddress& addr, quint16 commandPort)
    {
        if (!udp.bind(addr, 0) || !commands.listen(addr, commandPort))
            return false;
        QObject::connect(&commands, &QTcpServer::newConnection, &commands, [this] {
            QTcpSocket* s = commands.nextPendingConnection();
            QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
                QList<struSimuOper> opers;
                if (JsonCodec::parseCommandDoc(s->readAll(), opers, QString()).ok())
                    received += opers;
            });
        });
        return true;
    }
};

} // namespace

class TstConsolePeers : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void startReportAppliedAsSoonAsComplete();
    void forgedRepliesAndReportsFromAnotherHost();
    void floodsOfConnectionsAndJunkReports();
    void picturesOfGigabytesAndThousandsOfNames();
    void agentAnswersAnAddressAFewTimesASecond();

private:
    void send(Host& host, const QByteArray& datagram);
    // A query of the console's (so that its next replies are not taken for repeats).
    void newQuery();
    // Ticks the row and picks the entry, as the list's own widgets do; returns the command the PC got.
    struSimuOper operate(const QString& pc, const QString& idx, int entry, Host& host);
    MyDrawerCell* row(const QString& pc, const QString& idx) const;
    AVedioBox* tile(const QString& pc, const QString& idx) const;

    QTemporaryDir m_home;
    QUdpSocket m_queries; // where the console's queries go
    std::unique_ptr<CenterToolMainWnd> m_pWnd;
    ConsoleOpsWiring* m_pOps = nullptr;
    Host m_pc;
    Host m_other;
    quint16 m_resultPort = 0;
};

void TstConsolePeers::init()
{
    if (!QUdpSocket().bind(kOtherHost, 0))
        QSKIP("127.0.0.2 cannot be bound here (loopback is not 127.0.0.0/8)");
    // One command port on both addresses: a free one on the first may be taken on the second.
    quint16 commandPort = 0;
    for (int attempt = 0; attempt < 20 && !commandPort; ++attempt) {
        QTcpServer probe;
        QVERIFY(probe.listen(kPcAddr, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        if (m_pc.open(kPcAddr, port) && m_other.open(kOtherHost, port))
            commandPort = port;
        else
            cleanup();
    }
    QVERIFY(commandPort);
    QVERIFY(m_queries.bind(QHostAddress::LocalHost, 0));
    CLoginRet login;
    login.strUserName = QStringLiteral("alice");
    LoginRecord::set(login);
    SimuSettings::setDataDir(m_home.path());
    // The PCs played here are agents that know no farm key.
    FarmTrust::setAcceptUnsigned(true);
    CenterToolMainWnd::Options o;
    o.queryPort = m_queries.localPort();
    o.queryTickMs = 60000; // only the queries asked for
    o.targets = {kPcAddr};
    o.trayIcon = false;
    const qint64 listedAt = QDateTime::currentSecsSinceEpoch();
    o.clock = [listedAt] { return listedAt; }; // nobody goes offline while a test runs
    o.limits = AgentRegistry::Limits{100, 30};
    m_pWnd = std::make_unique<CenterToolMainWnd>(o);
    ConsoleOpsOptions opts;
    opts.agentPort = commandPort;
    opts.resultPort = 0;
    opts.groupFile = m_home.filePath(QStringLiteral("devGroups.json"));
    m_pOps = attachConsoleOps(*m_pWnd, opts);
    m_pWnd->initWnd();
    m_pWnd->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_pWnd.get()));
    QTRY_VERIFY_WITH_TIMEOUT(m_pWnd->udpSenderObj()->localPort() && m_pOps->resultRcver()->ServerPort(),
                             5000);
    m_resultPort = m_pOps->resultRcver()->ServerPort();
    send(m_pc, pcInfo(kPc, {"0", "1"}));
    QTRY_VERIFY_WITH_TIMEOUT(row(kPc, "1"), 5000);
}

void TstConsolePeers::cleanup()
{
    m_pWnd.reset();
    m_pc.received.clear();
    m_other.received.clear();
    m_pc.udp.close();
    m_pc.commands.close();
    m_other.udp.close();
    m_other.commands.close();
    m_queries.close();
    LoginRecord::clear();
}

void TstConsolePeers::send(Host& host, const QByteArray& datagram)
{
    host.udp.writeDatagram(datagram, kPcAddr, m_pWnd->udpSenderObj()->localPort());
}

void TstConsolePeers::newQuery()
{
    QMetaObject::invokeMethod(m_pWnd->udpSenderObj(), &UdpSenderObj::slBroadCastName, Qt::QueuedConnection);
    QVERIFY(m_queries.waitForReadyRead(5000));
    while (m_queries.hasPendingDatagrams())
        m_queries.receiveDatagram();
}

MyDrawerCell* TstConsolePeers::row(const QString& pc, const QString& idx) const
{
    MyDrawerEx* p = m_pWnd->leftGrpDrawer()->findPc(pc);
    return p ? p->cell(idx) : nullptr;
}

AVedioBox* TstConsolePeers::tile(const QString& pc, const QString& idx) const
{
    VedioBoxDrawer* d = m_pWnd->rightGrpDrawer()->findPc(pc);
    return d ? d->box(idx) : nullptr;
}

struSimuOper TstConsolePeers::operate(const QString& pc, const QString& idx, int entry, Host& host)
{
    const int before = host.received.size();
    QTest::mouseClick(row(pc, idx)->checkBox(), Qt::LeftButton, {}, QPoint(5, 10));
    emit row(pc, idx)->sigDrawerCellMenuTriggered(entry);
    if (!QTest::qWaitFor([&] { return host.received.size() > before; }, 10000)) {
        struSimuOper none;
        none.iOperType = -1;
        return none;
    }
    return host.received.last();
}

// A start's report and thumbnail from an agent that keeps the connection open: the state and the
// picture are shown as soon as each is whole, not when the connection ends.
void TstConsolePeers::startReportAppliedAsSoonAsComplete()
{
    const struSimuOper sent = operate(kPc, "0", eMenuStart, m_pc);
    QCOMPARE(sent.iOperType, int(eOperStartup));
    QTRY_COMPARE_WITH_TIMEOUT(row(kPc, "0")->stateText(), QStringLiteral("启动中"), 5000);
    std::unique_ptr<QTcpSocket> agent(connectFrom(kPcAddr, m_resultPort, nullptr));
    const QByteArray jpeg = thumbJpeg(Qt::blue);
    agent->write(report(kPc, "0", eOperStartup, sent.iTime + 1));
    agent->waitForBytesWritten(2000);
    QTRY_COMPARE_WITH_TIMEOUT(row(kPc, "0")->stateText(), QStringLiteral("运行中"), 2000);
    agent->write(jpeg.left(100));
    QTest::qWait(200);
    QVERIFY(!tile(kPc, "0")->hasScreenshot());
    agent->write(jpeg.mid(100));
    QTRY_VERIFY_WITH_TIMEOUT(tile(kPc, "0")->hasScreenshot(), 2000);
    QVERIFY(qBlue(tile(kPc, "0")->currentPicture().pixel(50, 75)) > 200);
    QCOMPARE(agent->state(), QAbstractSocket::UnconnectedState); // closed by the console
}

// Another host answers for pc-1 (faster, with other emulators and states) and forges its reports:
// none of it is taken. The PC's own reply and report are, even right after a forged one.
void TstConsolePeers::forgedRepliesAndReportsFromAnotherHost()
{
    newQuery(); // the fake answers first
    send(m_other, pcInfo(kPc, {"7", "8", "9"}));
    send(m_other, simuState(kPc, "1", eStateDeleted, 2000000000, QByteArray()));
    send(m_pc, pcInfo(kPc, {"0", "1", "2"})); // the real one, after the fake of the same query
    QTRY_VERIFY_WITH_TIMEOUT(row(kPc, "2"), 5000);
    QVERIFY(!row(kPc, "7") && !row(kPc, "9"));
    QCOMPARE(row(kPc, "1")->stateText(), QStringLiteral("未启动"));
    struPcEntry pc;
    QVERIFY(m_pWnd->registry()->entry(kPc, pc));
    QCOMPARE(pc.replyAddr, kPcAddr);

    const struSimuOper sent = operate(kPc, "1", eMenuStart, m_pc);
    QCOMPARE(sent.iOperType, int(eOperStartup));
    QSignalSpy refused(m_pOps->resultRcver(), &TaskResultRcver::sigReportRefused);
    QSignalSpy applied(m_pOps->resultRcver(), &TaskResultRcver::sigSetState);
    // The forged report of the operation sent, from the other host; a report of an operation never
    // sent (a close), and one older than the operation, from the PC's address.
    for (const auto& [from, doc] :
         {std::make_pair(kOtherHost, report(kPc, "1", eOperStartup, sent.iTime + 1)),
          std::make_pair(kPcAddr, report(kPc, "1", eOperClose, sent.iTime + 1)),
          std::make_pair(kPcAddr, report(kPc, "1", eOperStartup, sent.iTime - 30))}) {
        QTcpSocket* s = connectFrom(from, m_resultPort, this);
        s->write(doc);
        s->disconnectFromHost();
    }
    QTRY_COMPARE_WITH_TIMEOUT(refused.size(), 3, 5000);
    QCOMPARE(applied.size(), 0);
    QCOMPARE(row(kPc, "1")->stateText(), QStringLiteral("启动中"));
    // The PC's own report is taken, once.
    for (int i = 0; i < 2; ++i) {
        QTcpSocket* s = connectFrom(kPcAddr, m_resultPort, this);
        s->write(report(kPc, "1", eOperStartup, sent.iTime + 1));
        s->disconnectFromHost();
    }
    QTRY_COMPARE_WITH_TIMEOUT(row(kPc, "1")->stateText(), QStringLiteral("运行中"), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(refused.size(), 4, 5000);
    QCOMPARE(applied.size(), 1);
}

// Hundreds of idle connections from another host do not hold up the PC's report; junk reports from
// it ask for no refresh, junk from the PC's own address for at most one a second.
void TstConsolePeers::floodsOfConnectionsAndJunkReports()
{
    QList<QTcpSocket*> idle;
    for (int i = 0; i < 340; ++i)
        idle << connectFrom(kOtherHost, m_resultPort, this);
    const struSimuOper sent = operate(kPc, "0", eMenuStart, m_pc);
    QElapsedTimer clock;
    clock.start();
    QTcpSocket* s = connectFrom(kPcAddr, m_resultPort, this);
    s->write(report(kPc, "0", eOperStartup, sent.iTime + 1) + thumbJpeg(Qt::green));
    s->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(row(kPc, "0")->stateText(), QStringLiteral("运行中"), 5000);
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    qDeleteAll(idle);

    while (m_queries.hasPendingDatagrams())
        m_queries.receiveDatagram();
    const auto junk = [&](const QHostAddress& from, int n) {
        for (int i = 0; i < n; ++i) {
            QTcpSocket* j = connectFrom(from, m_resultPort, this);
            j->write("{\"size\":1,\"0\":{\"iOperType\":0,}}");
            j->disconnectFromHost();
        }
    };
    junk(kOtherHost, 500);
    QTest::qWait(1500);
    QVERIFY(!m_queries.hasPendingDatagrams()); // not one query
    clock.restart();
    junk(kPcAddr, 200);
    QTest::qWait(1500);
    int queries = 0;
    while (m_queries.hasPendingDatagrams()) {
        m_queries.receiveDatagram();
        ++queries;
    }
    QVERIFY2(queries >= 1 && queries <= clock.elapsed() / 1000 + 1, qPrintable(QString::number(queries)));
}

// A JPEG of a few hundred bytes declaring 12000 x 12000 pixels, in a discovery reply of a PC of its
// own and behind the report of a start sent to it, leaves the console's memory as it was; 2000 PC
// names cost no thread each, are listed and kept up to the limit (100 here), and the window keeps
// answering while they come.
void TstConsolePeers::picturesOfGigabytesAndThousandsOfNames()
{
    const QByteArray bomb = jpegDeclaring(12000, 12000);
    QVERIFY(bomb.size() < 1000);
    const QString evil = QStringLiteral("evil-pc");
    send(m_other, pcInfo(evil, {"0", "1"}, kOtherHost));
    QTRY_VERIFY_WITH_TIMEOUT(row(evil, "1"), 5000);
    QApplication::processEvents();
    const qint64 before = residentMb();
    send(m_other, simuState(evil, "0", eStateRunning, 10, bomb));
    QTRY_COMPARE_WITH_TIMEOUT(row(evil, "0")->stateText(), QStringLiteral("运行中"), 5000);
    const struSimuOper start = operate(evil, "1", eMenuStart, m_other);
    QCOMPARE(start.iOperType, int(eOperStartup));
    QTcpSocket* s = connectFrom(kOtherHost, m_resultPort, this);
    s->write(report(evil, "1", eOperStartup, start.iTime + 1) + bomb);
    s->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(row(evil, "1")->stateText(), QStringLiteral("运行中"), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(s->state(), QAbstractSocket::UnconnectedState, 5000);
    for (int i = 0; i < 20; ++i) { // painted, if there is anything to paint
        tile(evil, "0")->repaint();
        tile(evil, "1")->repaint();
        QTest::qWait(20);
    }
    QVERIFY(!tile(evil, "0")->hasScreenshot() && !tile(evil, "1")->hasScreenshot());
    QVERIFY2(residentMb() - before < 50,
             qPrintable(QStringLiteral("%1 -> %2 MB").arg(before).arg(residentMb())));

    // 2000 names from the other host, while a timer measures how long the window does not answer.
    const int threadsBefore = threadCount();
    QElapsedTimer gap;
    qint64 longest = 0;
    QTimer probe;
    connect(&probe, &QTimer::timeout, this, [&] { longest = qMax(longest, gap.restart()); });
    gap.start();
    probe.start(10);
    for (int i = 0; i < 2000; ++i) {
        send(m_other, pcInfo(QStringLiteral("fake-%1").arg(i), {"0"}));
        if (i % 50 == 0)
            QTest::qWait(5);
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_pWnd->registry()->pcCount(), 100, 20000);
    QTest::qWait(500);
    probe.stop();
    QCOMPARE(m_pWnd->registry()->pcCount(), 100);
    qInfo("2000 PC names: longest stall %lld ms, threads %d -> %d, resident %lld -> %lld MB", longest,
          threadsBefore, threadCount(), before, residentMb());
    QVERIFY2(longest < 1000, qPrintable(QStringLiteral("the window did not answer for %1 ms").arg(longest)));
    QVERIFY2(threadCount() <= threadsBefore + 2, qPrintable(QString::number(threadCount())));
    QCOMPARE(m_pOps->groupStore()->DeviceCount(), 100);
    QFile groups(m_home.filePath(QStringLiteral("devGroups.json")));
    QVERIFY(groups.open(QIODevice::ReadOnly));
    QVERIFY(groups.readAll().count("fake-") <= 98);
    // The PC listed before still takes operations.
    QCOMPARE(operate(kPc, "1", eMenuStart, m_pc).iOperType, int(eOperStartup));
}

// Queries from one address, as a forged source would send them to aim the answers at a victim:
// beyond a first few, the agent answers a few a second.
void TstConsolePeers::agentAnswersAnAddressAFewTimesASecond()
{
    SimuSettings::setPcName(QStringLiteral("agent-pc"));
    UdpRceiverObj agent(0, QHostAddress::LocalHost);
    agent.slInitSocket();
    QVERIFY(agent.localPort());
    QUdpSocket victim;
    QVERIFY(victim.bind(kOtherHost, 0));
    QElapsedTimer clock;
    clock.start();
    const QByteArray query = Discovery::encodeQuery(Discovery::eQueryPcInfo, QStringLiteral("alice"));
    for (int i = 0; i < 200; ++i) {
        victim.writeDatagram(query, kPcAddr, agent.localPort());
        QTest::qWait(5);
    }
    QTest::qWait(200);
    int answers = 0;
    while (victim.hasPendingDatagrams()) {
        victim.receiveDatagram();
        ++answers;
    }
    const qint64 secs = (clock.elapsed() + 999) / 1000;
    QVERIFY2(answers >= UdpRceiverObj::kAnswerBurst &&
                 answers <= UdpRceiverObj::kAnswerBurst + UdpRceiverObj::kAnswersPerSec * secs,
             qPrintable(QStringLiteral("%1 answers to 200 queries in %2 s").arg(answers).arg(secs)));
    // Another address is answered all the same.
    QUdpSocket console;
    QVERIFY(console.bind(kPcAddr, 0));
    console.writeDatagram(query, kPcAddr, agent.localPort());
    QTRY_VERIFY_WITH_TIMEOUT(console.hasPendingDatagrams(), 5000);
}

QTEST_MAIN(TstConsolePeers)
#include "tst_consolepeers.moc"
