// The real agent program on a simulated LAN: three hosts in network namespaces on one bridge
// (lanns.sh). The console host is this test: its main thread enters the console namespace, broadcasts
// discovery queries to 255.255.255.255:7777, sends commands to the agents' port 7778 and collects the
// results on its own port 7779. Agent A (10.77.0.2, with a second interface made first, to which its
// host name resolves first) and agent B (10.77.0.3) each run ToviaSimClient with a farm of their own;
// A remembers the console's user, B another one. The account service runs on the console host, so
// both agents really sign in.
//
// The test functions run in order and build on each other: discovery, states before any start, a
// start and what discovery shows after it, commands that must be refused.
#include "consoleharness.h"
#include "discovery.h"
#include "farmfixture.h"
#include "farmtrust.h"
#include "lanagent.h"
#include "lannet.h"
#include "msgauth.h"
#include "simusettings.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QString kUser = QStringLiteral("lanuser");
const QString kOtherUser = QStringLiteral("otheruser");
const QString kPassword = QStringLiteral("pw-lan-1");
const QString kConsoleIp = QStringLiteral("10.77.0.1");
const QString kAgentAIp = QStringLiteral("10.77.0.2");
const QString kAgentBIp = QStringLiteral("10.77.0.3");
// Host names that lanns.sh gives the agent hosts.
const QString kAgentAHost = QStringLiteral("tovia-pc-a");
const QString kAgentBHost = QStringLiteral("tovia-pc-b");
const QString kNickA = QStringLiteral("机房A");
const QString kNickB = QStringLiteral("机房B");
constexpr quint16 kAccountPort = 8750;
constexpr quint16 kCommandPort = 7778;
constexpr quint16 kResultPort = 7779;
constexpr int kInstancesA = 3;
constexpr int kInstancesB = 2;
constexpr int kRunLimit = 3;
constexpr int kReadyMs = 25000;  // agent start-up, automatic login included
constexpr int kAnswerMs = 10000; // a query answered
constexpr int kStartMs = 20000;  // a start carried out and reported
constexpr int kQuietMs = 2000;   // how long "nothing happens" is watched

// One discovery reply as the console received it.
struct Reply
{
    QHostAddress from;
    QByteArray bytes;
    Discovery::eDecodeStatus status = Discovery::eDecodeStatus::TooShort;
    Discovery::struDecodedReply dec;
};

using Replies = QList<Reply>;

QList<Reply> from(const Replies& replies, const QString& ip)
{
    QList<Reply> out;
    for (const Reply& r : replies) {
        if (r.from == QHostAddress(ip))
            out.append(r);
    }
    return out;
}

const Reply* simuState(const Replies& replies, const QString& memuIdx)
{
    for (const Reply& r : replies) {
        if (r.dec.header.kind == Discovery::eReplySimuState && r.dec.header.memuIdxText() == memuIdx)
            return &r;
    }
    return nullptr;
}

// The console's discovery end. Every query goes out from a socket of its own, so that a late answer
// to an earlier query is never counted as an answer to this one.
class ConsoleProbe
{
public:
    // Broadcasts one query and collects the replies that arrive within `windowMs`.
    Replies ask(int type, const QString& user, int windowMs)
    {
        Replies replies;
        QUdpSocket socket;
        playConsoleOf(user, kPassword);
        const QByteArray query = FarmTrust::query(type, user);
        if (!socket.bind(QHostAddress::AnyIPv4, 0) ||
            socket.writeDatagram(query, QHostAddress::Broadcast, Discovery::kDiscoveryPort) != query.size()) {
            qWarning() << "broadcast failed:" << socket.errorString();
            return replies;
        }
        QDeadlineTimer deadline(windowMs);
        while (!deadline.hasExpired()) {
            QTest::qWait(10);
            while (socket.hasPendingDatagrams())
                replies.append(take(socket));
        }
        return replies;
    }

    // Repeats the query until `done` holds for one round's replies, bounded; returns the last round.
    Replies askUntil(int type, const QString& user, int timeoutMs,
                     const std::function<bool(const Replies&)>& done)
    {
        QDeadlineTimer deadline(timeoutMs);
        Replies replies;
        do {
            replies = ask(type, user, 500);
        } while (!done(replies) && !deadline.hasExpired());
        return replies;
    }

private:
    static Reply take(QUdpSocket& socket)
    {
        const QNetworkDatagram d = socket.receiveDatagram();
        Reply r;
        r.from = QHostAddress(d.senderAddress().toIPv4Address());
        r.bytes = d.data();
        r.status = Discovery::decodeReply(r.bytes, r.dec);
        return r;
    }
};

// One agent host: a farm, a home, a copy of the program (its update-check files stay beside it) and
// the running ToviaSimClient in the host's namespace.
struct AgentHost
{
    QString user;
    QString nick;
    FarmFixture farm;
    LanHostProgram program;

    // Started by the caller, after the console's settings are back in place.
    bool prepare(int instances, QString& error)
    {
        LanAgentOptions o(program.ns, user, kPassword, kConsoleIp, kAccountPort);
        o.instances = instances;
        o.knobs = {{QStringLiteral("bootDelayMs"), QStringLiteral("200")}};
        o.nick = nick;
        o.periods.screenshotTimeSpanSecs = 300;
        o.runLimit = kRunLimit;
        o.start = false;
        return prepareLanAgent(farm, program, o, error);
    }

    // Start-up is over once the stored states are laid out (after the automatic login).
    bool startedUp() const { return program.log().contains(QLatin1String("initIniData end:")); }

    void dump() const { qInfo().noquote() << "---- agent" << program.ns << ":\n" << program.logTail(30); }
};

bool isJpeg(const QByteArray& bytes)
{
    return bytes.startsWith("\xFF\xD8");
}

QSize jpegSize(const QByteArray& bytes)
{
    QImage img;
    return img.loadFromData(bytes, "JPG") ? img.size() : QSize();
}

} // namespace

class TstLanE2E : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();
    void discoveryAnswersOnlyTheConsolesUser();
    void statesBeforeAnyStart();
    void startIsReportedAndShownByDiscovery();
    void commandsOfAnotherUserAreIgnored();

private:
    bool startAccountService(QString& error);
    bool waitAgentsReady(QString& error);
    bool sendCommand(const QString& agentIp, int operType, const QString& memuIdx, int iTime,
                     const QString& usrName);

    QString m_prefix;
    bool m_lanUp = false;
    NetnsSwitch m_console;
    QTemporaryDir m_scratch;
    std::unique_ptr<QProcess> m_pAccountSvc;
    AgentHost m_a;
    AgentHost m_b;
    std::unique_ptr<ConsoleProbe> m_pProbe;
    std::unique_ptr<ResultServer> m_pResults;
};

void TstLanE2E::initTestCase()
{
    const QString why = lanSkipReason(
        {QStringLiteral("ip"), QStringLiteral("unshare")},
        {QStringLiteral("ToviaSimClient"), QStringLiteral("farmsim"), QStringLiteral("ToviaAccountSvc")});
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    QVERIFY(m_scratch.isValid());
    LAN_UP_OR_SKIP(QStringLiteral("tve2e"), m_prefix, m_lanUp);

    QString error;
    QVERIFY2(m_console.enter(m_prefix + QStringLiteral("-con"), error), qPrintable(error));
    m_pProbe = std::make_unique<ConsoleProbe>();
    m_pResults = std::make_unique<ResultServer>();
    QVERIFY2(m_pResults->listen(QHostAddress(kConsoleIp), kResultPort), "result server on 10.77.0.1:7779");
    QVERIFY2(startAccountService(error), qPrintable(error));

    m_a.program.ns = m_prefix + QStringLiteral("-a");
    m_a.user = kUser;
    m_a.nick = kNickA;
    m_b.program.ns = m_prefix + QStringLiteral("-b");
    m_b.user = kOtherUser;
    m_b.nick = kNickB;
    QVERIFY2(m_a.prepare(kInstancesA, error), qPrintable(error));
    QVERIFY2(m_b.prepare(kInstancesB, error), qPrintable(error));
    // The result server looks up stored records of reported instances: not in an agent's home.
    SimuSettings::setDataDir(m_scratch.path());
    QVERIFY2(m_a.program.start(error), qPrintable(error));
    QVERIFY2(m_b.program.start(error), qPrintable(error));
    QVERIFY2(waitAgentsReady(error), qPrintable(error));
}

bool TstLanE2E::startAccountService(QString& error)
{
    m_pAccountSvc = startLanAccountService(m_prefix, m_scratch.path(), {kUser, kOtherUser}, kPassword,
                                           kConsoleIp, kAccountPort, error);
    return m_pAccountSvc != nullptr;
}

bool TstLanE2E::waitAgentsReady(QString& error)
{
    QDeadlineTimer deadline(kReadyMs);
    while (!deadline.hasExpired()) {
        if (!m_a.program.running() || !m_b.program.running())
            break;
        if (m_a.startedUp() && m_b.startedUp())
            return true;
        QTest::qWait(100);
    }
    m_a.dump();
    m_b.dump();
    error = QStringLiteral("agents not started up within %1 ms (A running: %2, B running: %3)")
                .arg(kReadyMs)
                .arg(m_a.program.running())
                .arg(m_b.program.running());
    return false;
}

void TstLanE2E::cleanup()
{
    if (QTest::currentTestFailed()) {
        m_a.dump();
        m_b.dump();
    }
}

void TstLanE2E::cleanupTestCase()
{
    m_a.program.kill();
    m_b.program.kill();
    if (m_pAccountSvc) {
        m_pAccountSvc->kill();
        m_pAccountSvc->waitForFinished(3000);
        m_pAccountSvc.reset();
    }
    m_pResults.reset();
    m_pProbe.reset();
    m_console.leave();
    if (m_lanUp) {
        const ToolRun down = lanns({QStringLiteral("down"), m_prefix});
        if (down.exitCode != 0)
            qWarning().noquote() << "LAN tear-down:" << down.output;
        m_lanUp = false;
    }
}

bool TstLanE2E::sendCommand(const QString& agentIp, int operType, const QString& memuIdx, int iTime,
                            const QString& usrName)
{
    ConsoleClient::Options opt;
    opt.host = QHostAddress(agentIp);
    playConsoleOf(usrName, kPassword);
    const QByteArray doc =
        ConsoleClient::makeDoc(ConsoleClient::makeOpers(operType, {memuIdx}, iTime), usrName);
    return ConsoleClient::send(kCommandPort, doc, QByteArray(), opt);
}

// A type 0 query of the console's user is answered by agent A alone, with the address that faces
// the console (not the second interface made first), its nick name and its farm's instances.
void TstLanE2E::discoveryAnswersOnlyTheConsolesUser()
{
    // Both agents answer their own user: B is alive on the LAN, so its silence below means something.
    const Replies forB = m_pProbe->askUntil(Discovery::eQueryPcInfo, kOtherUser, kAnswerMs,
                                            [](const Replies& r) { return !from(r, kAgentBIp).isEmpty(); });
    QCOMPARE(from(forB, kAgentBIp).size(), 1);
    QVERIFY2(from(forB, kAgentAIp).isEmpty(), "agent A answered another user's console");
    QCOMPARE(forB.first().dec.header.ipAddrText(), kAgentBIp);
    QCOMPARE(forB.first().dec.header.pcNameText(), kAgentBHost);
    QCOMPARE(forB.first().dec.header.nickNameText(), kNickB);
    QCOMPARE(forB.first().dec.header.iSimuCount, kInstancesB);

    const Replies replies = m_pProbe->askUntil(Discovery::eQueryPcInfo, kUser, kAnswerMs,
                                               [](const Replies& r) { return !r.isEmpty(); });
    QCOMPARE(replies.size(), 1);
    const Reply& r = replies.first();
    QCOMPARE(r.from, QHostAddress(kAgentAIp));
    QCOMPARE(r.status, Discovery::eDecodeStatus::Ok);
    const struPcUdpInfo& h = r.dec.header;
    QCOMPARE(int(h.kind), int(Discovery::eReplyPcInfo));
    QCOMPARE(h.ipAddrText(), kAgentAIp);
    QCOMPARE(h.pcNameText(), kAgentAHost);
    QCOMPARE(h.nickNameText(), kNickA);
    QCOMPARE(int(h.iRunLimit), kRunLimit);
    QCOMPARE(int(h.iDaemonModel), 0);
    QCOMPARE(int(h.iSimuType), int(FarmFixture::LdPlayer));
    QCOMPARE(int(h.iSimuCount), kInstancesA);
    QCOMPARE(int(h.iDataLen), kInstancesA * Discovery::kSimuEntrySize);
    // The reply, then the signature's trailer.
    QCOMPARE(r.bytes.size(),
             Discovery::kHeaderSize + kInstancesA * Discovery::kSimuEntrySize + MsgAuth::kTrailerBytes);
    QVERIFY(MsgAuth::hasTrailer(r.bytes));

    const QJsonArray farm = m_a.farm.status().value(QStringLiteral("instances")).toArray();
    QCOMPARE(r.dec.simus.size(), farm.size());
    for (int i = 0; i < farm.size(); ++i) {
        const QJsonObject inst = farm.at(i).toObject();
        QCOMPARE(r.dec.simus.at(i).memuIdx, inst.value(QStringLiteral("index")).toString());
        QCOMPARE(r.dec.simus.at(i).simuName, inst.value(QStringLiteral("name")).toString());
        QCOMPARE(r.dec.simus.at(i).iAdbPort, 5555 + 2 * i);
    }

    // Watched a while longer: B stays silent for the console's user.
    const Replies again = m_pProbe->ask(Discovery::eQueryPcInfo, kUser, kQuietMs);
    QVERIFY2(from(again, kAgentBIp).isEmpty(), "agent B answered the console of another user");
    QCOMPARE(from(again, kAgentAIp).size(), 1);
}

// Nothing started yet: one kind 1 datagram per instance, state "not started", no picture.
void TstLanE2E::statesBeforeAnyStart()
{
    const Replies replies = m_pProbe->askUntil(Discovery::eQuerySimuState, kUser, kAnswerMs,
                                               [](const Replies& r) { return r.size() >= kInstancesA; });
    QCOMPARE(replies.size(), kInstancesA);
    QStringList seen;
    for (const Reply& r : replies) {
        QCOMPARE(r.from, QHostAddress(kAgentAIp));
        QCOMPARE(r.status, Discovery::eDecodeStatus::Ok);
        QCOMPARE(int(r.dec.header.kind), int(Discovery::eReplySimuState));
        QCOMPARE(r.dec.header.ipAddrText(), kAgentAIp);
        QCOMPARE(r.dec.header.state(), int(eStateNotStarted));
        QCOMPARE(int(r.dec.header.iDataLen), 0);
        QVERIFY(r.dec.jpeg.isEmpty());
        QCOMPARE(r.dec.header.simuNameText(), kNickA); // not running: the nick name stands there
        seen.append(r.dec.header.memuIdxText());
    }
    QCOMPARE(seen, (QStringList{"0", "1", "2"}));
}

// A start over TCP: the agent reports to the console's address on 7779 with the result and a
// thumbnail, and from then on discovery shows the instance running, with its picture.
void TstLanE2E::startIsReportedAndShownByDiscovery()
{
    const int before = m_pResults->reports().size();
    QVERIFY(sendCommand(kAgentAIp, eOperStartup, QStringLiteral("1"), 100, kUser));
    QVERIFY2(m_pResults->waitForReports(before + 1, kStartMs), "no start report within the time");
    const ConsoleReport& rep = m_pResults->reports().at(before);
    QCOMPARE(rep.usrName, kUser);
    QCOMPARE(rep.recordCount, 1);
    QCOMPARE(rep.oper.iOperType, int(eOperStartup));
    QCOMPARE(rep.oper.memuIdx, QStringLiteral("1"));
    QVERIFY2(rep.oper.iReplyRet == 0, qPrintable(rep.oper.replyRet));
    QCOMPARE(rep.oper.iTime, 101);
    QCOMPARE(rep.oper.centerIP, kConsoleIp); // the address the command came from
    QVERIFY2(isJpeg(rep.tail), "the report of a start carries a JPEG thumbnail");
    QCOMPARE(jpegSize(rep.tail), QSize(Discovery::kThumbWidth, Discovery::kThumbHeight));
    QVERIFY(m_a.farm.instanceStatus(QStringLiteral("1")).value(QStringLiteral("running")).toBool());

    // The screenshot pool lists it as running and takes its picture; a few queries later it shows.
    const Replies replies =
        m_pProbe->askUntil(Discovery::eQuerySimuState, kUser, kStartMs, [](const Replies& r) {
            const Reply* one = simuState(r, QStringLiteral("1"));
            return one && !one->dec.jpeg.isEmpty();
        });
    const Reply* one = simuState(replies, QStringLiteral("1"));
    QVERIFY(one);
    QCOMPARE(one->dec.header.state(), int(eStateRunning));
    QVERIFY(one->dec.header.stateTime() > 100);
    QCOMPARE(one->dec.header.simuNameText(), QStringLiteral("LDPlayer-1"));
    QVERIFY(isJpeg(one->dec.jpeg));
    QCOMPARE(jpegSize(one->dec.jpeg), QSize(Discovery::kThumbWidth, Discovery::kThumbHeight));
    for (const QString& idx : {QStringLiteral("0"), QStringLiteral("2")}) {
        const Reply* other = simuState(replies, idx);
        QVERIFY(other);
        QCOMPARE(other->dec.header.state(), int(eStateNotStarted));
    }
}

// B is signed in as another user: a command bearing the console's user name does nothing there,
// while the same command under B's own user is carried out and reported (so B was listening).
void TstLanE2E::commandsOfAnotherUserAreIgnored()
{
    const int before = m_pResults->reports().size();
    QVERIFY2(sendCommand(kAgentBIp, eOperStartup, QStringLiteral("0"), 200, kUser),
             "B accepts the connection");
    QTest::qWait(kQuietMs);
    QCOMPARE(m_pResults->reports().size(), before);
    QVERIFY(!m_b.farm.instanceStatus(QStringLiteral("0")).value(QStringLiteral("running")).toBool());
    const Replies states = m_pProbe->askUntil(Discovery::eQuerySimuState, kOtherUser, kAnswerMs,
                                              [](const Replies& r) { return r.size() >= kInstancesB; });
    const Reply* zero = simuState(from(states, kAgentBIp), QStringLiteral("0"));
    QVERIFY(zero);
    QCOMPARE(zero->dec.header.state(), int(eStateNotStarted));

    QVERIFY(sendCommand(kAgentBIp, eOperStartup, QStringLiteral("0"), 300, kOtherUser));
    QVERIFY2(m_pResults->waitForReports(before + 1, kStartMs), "no report of B's own user's start");
    const ConsoleReport& rep = m_pResults->reports().at(before);
    QCOMPARE(rep.usrName, kOtherUser);
    QVERIFY2(rep.oper.iReplyRet == 0, qPrintable(rep.oper.replyRet));
    QCOMPARE(rep.oper.iTime, 301);
    QVERIFY(m_b.farm.instanceStatus(QStringLiteral("0")).value(QStringLiteral("running")).toBool());
    // Agent A's instances were not touched by any of this.
    QVERIFY(!m_a.farm.instanceStatus(QStringLiteral("0")).value(QStringLiteral("running")).toBool());
}

QTEST_MAIN(TstLanE2E)
#include "tst_lan_e2e.moc"
