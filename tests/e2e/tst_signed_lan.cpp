// A farm that obeys only its owner, on a simulated LAN of network namespaces (lanns.sh): the console
// host runs the account service and the real ToviaSim (operated through its test driver), host A runs
// ToviaSimClient on a simulated farm, and host B is a third host of the LAN whose user knows the
// account's name but not its password: this test, in B's namespace, plays the attacker. Everything it
// forges (commands, queries, a PC of the same name, result reports, a remote desktop, a command
// captured from the wire and sent again) is refused; the agent's farm and the console's window show
// that nothing happened, while the owner's console works signed. At the end agent A accepts unsigned
// peers and serves a plain console, still refusing what is signed with another key.
//
// The test functions run in order and build on each other.
#include "consoledriver.h"
#include "consoleharness.h"
#include "discovery.h"
#include "farmfixture.h"
#include "farmtrust.h"
#include "jsoncodec.h"
#include "lannet.h"
#include "loginret.h"
#include "msgauth.h"
#include "simusettings.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

namespace {

const QString kUser = QStringLiteral("signuser");
const QString kPassword = QStringLiteral("pw-sign-1");
const QString kGuessed = QStringLiteral("pw-guessed"); // the attacker's best guess
const QString kConsoleIp = QStringLiteral("10.77.0.1");
const QString kAgentIp = QStringLiteral("10.77.0.2");
const QString kPcA = QStringLiteral("tovia-pc-a");
constexpr quint16 kAccountPort = 8750;
constexpr int kInstances = 3;
constexpr int kBootMs = 2500; // several of the agent's watchdog periods (below)
constexpr int kWatchdogSecs = 1;
constexpr int kListedMs = 45000; // sign-in, start-up and discovery
constexpr int kStartMs = 30000;  // a start carried out, reported and shown
constexpr int kQuietMs = 2500;   // how long "nothing happens" is watched

QJsonObject pcInfoOf(const QJsonObject& dump)
{
    return pcOf(dump, kPcA);
}

// Every row of PC A: its index, name and state, for comparing "before" with "after".
QStringList rowsOf(const QJsonObject& dump)
{
    QStringList rows;
    for (const QJsonValue& r : pcInfoOf(dump).value(QStringLiteral("rows")).toArray()) {
        const QJsonObject o = r.toObject();
        rows << QStringLiteral("%1 %2 %3")
                    .arg(o.value(QStringLiteral("idx")).toString(),
                         o.value(QStringLiteral("name")).toString())
                    .arg(o.value(QStringLiteral("state")).toInt());
    }
    return rows;
}

struSimuOper forgedOper(int type, const QString& idx, int iExtra = 0, const QString& fileName = QString())
{
    struSimuOper o;
    o.iOperType = type;
    o.memuIdx = idx;
    o.iExtra = iExtra;
    o.iTime = 1000;
    o.fileName = fileName;
    o.rmtPcName = kPcA;
    o.centerIP = QStringLiteral("10.77.0.3");
    return o;
}

// One document as the attacker can make it: plain, or signed with the key of the guessed password.
QByteArray forgedDoc(const QList<struSimuOper>& opers, bool withGuessedKey, MsgAuth::eChannel channel)
{
    if (!withGuessedKey)
        return JsonCodec::serializeCommandDoc(opers, kUser);
    playConsoleOf(kUser, kGuessed);
    const QByteArray doc = FarmTrust::commandDoc(opers, kUser, channel);
    LoginRecord::clear();
    return doc;
}

// Any datagram that reaches the socket within ms.
bool anyDatagram(QUdpSocket& socket, int ms)
{
    return socket.hasPendingDatagrams() || socket.waitForReadyRead(ms);
}

bool sendTo(const QString& ip, quint16 port, const QByteArray& doc, const QByteArray& tail = QByteArray())
{
    ConsoleClient::Options opt;
    opt.host = QHostAddress(ip);
    opt.pauseMs = 150;
    return ConsoleClient::send(port, doc, tail, opt);
}

} // namespace

class TstSignedLan : public QObject
{
    Q_OBJECT
public:
    ~TstSignedLan() override { teardown(); }

private slots:
    void initTestCase();
    void cleanupTestCase() { teardown(); }
    void cleanup();
    void ownerConsoleWorksSigned();
    void capturedCommandIsNotTakenAgain();
    void thirdHostCannotCommand();
    void thirdHostCannotBeOrFeedAPc();
    void acceptUnsignedServesAPlainConsole();

private:
    bool startAgent(QString& error);
    bool startConsole(QString& error);
    QJsonObject dump() { return m_driver.call(QStringLiteral("dump")); }
    bool waitState(const QString& idx, int state, int timeoutMs);
    bool running(const QString& idx) const;
    // The agent's debug log holds the refusal of a message from host B.
    int refusalsLogged() const;
    void dumpLogs() const;
    void teardown();

    QString m_prefix;
    bool m_lanUp = false;
    QTemporaryDir m_scratch;
    std::unique_ptr<QProcess> m_pAccountSvc;
    FarmFixture m_farm;
    LanHostProgram m_agent;
    LanHostProgram m_console;
    QString m_driverPath;
    ConsoleDriverClient m_driver;
    NetnsSwitch m_hostB;
    QByteArray m_captured; // the owner's start command as it went over the wire
};

void TstSignedLan::initTestCase()
{
    const QString why = lanSkipReason({QStringLiteral("ip"), QStringLiteral("unshare")},
                                      {QStringLiteral("ToviaSim"), QStringLiteral("ToviaSimClient"),
                                       QStringLiteral("farmsim"), QStringLiteral("ToviaAccountSvc")});
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    QVERIFY(m_scratch.isValid());
    LAN_UP_OR_SKIP(QStringLiteral("tvsign"), m_prefix, m_lanUp);
    QString error;
    m_pAccountSvc = startLanAccountService(m_prefix, m_scratch.path(), {kUser}, kPassword, kConsoleIp,
                                           kAccountPort, error);
    QVERIFY2(m_pAccountSvc, qPrintable(error));
    QVERIFY2(m_farm.init(FarmFixture::LdPlayer, kInstances), qPrintable(m_farm.error()));
    QVERIFY(m_farm.setKnob(QStringLiteral("bootDelayMs"), QString::number(kBootMs)));
    QVERIFY2(startAgent(error), qPrintable(error));
    QVERIFY2(startConsole(error), qPrintable(error));
    // From here on every socket of this test is one of host B.
    QVERIFY2(m_hostB.enter(m_prefix + QStringLiteral("-b"), error), qPrintable(error));
}

bool TstSignedLan::startAgent(QString& error)
{
    SimuSettings::setDataDir(m_farm.homeDir());
    SimuSettings::setPcNickName(QStringLiteral("机房A"));
    SimuSettings::setRunLimit(kInstances);
    SimuSettings::setDaemonModel(0);
    SimuSettings::setValue(QStringLiteral("common/checkTimeSpan"), kWatchdogSecs);
    SimuSettings::setValue(QStringLiteral("common/startupTimeout"), 400); // polls of 50 ms
    SimuSettings::setValue(QStringLiteral("account/url"),
                           QStringLiteral("http://%1:%2").arg(kConsoleIp).arg(kAccountPort));
    m_agent.ns = m_prefix + QStringLiteral("-a");
    m_agent.home = m_farm.homeDir();
    m_agent.args = QStringList{QStringLiteral("--remember-login"), kUser, kPassword};
    if (m_agent.program.isEmpty() &&
        !copyProgram(QStringLiteral("ToviaSimClient"), m_farm.rootDir() + QStringLiteral("/app"),
                     &m_agent.program)) {
        error = QStringLiteral("cannot copy ToviaSimClient");
        return false;
    }
    return m_agent.start(error);
}

bool TstSignedLan::startConsole(QString& error)
{
    const QString dir = m_scratch.filePath(QStringLiteral("console"));
    m_console.ns = m_prefix + QStringLiteral("-con");
    m_console.home = dir + QStringLiteral("/home");
    QDir().mkpath(m_console.home);
    if (!copyProgram(QStringLiteral("ToviaSim"), dir + QStringLiteral("/app"), &m_console.program)) {
        error = QStringLiteral("cannot copy ToviaSim to ") + dir;
        return false;
    }
    SimuSettings::setDataDir(m_console.home);
    SimuSettings::setValue(QStringLiteral("account/url"),
                           QStringLiteral("http://%1:%2").arg(kConsoleIp).arg(kAccountPort));
    m_driverPath = dir + QStringLiteral("/driver.sock");
    m_console.args = QStringList{QStringLiteral("--remember-login"), kUser, kPassword,
                                 QStringLiteral("--test-driver"), m_driverPath};
    if (!m_console.start(error) ||
        !m_driver.connect(
            m_driverPath, kListedMs, [this] { return m_console.running(); }, error))
        return false;
    const QJsonObject listed =
        m_driver.waitDump(kListedMs, [](const QJsonObject& d) { return rowsOf(d).size() == kInstances; });
    if (rowsOf(listed).size() != kInstances) {
        error = QStringLiteral("the console never listed %1: %2").arg(kPcA, m_console.logTail(20));
        return false;
    }
    return true;
}

void TstSignedLan::cleanup()
{
    if (QTest::currentTestFailed())
        dumpLogs();
}

bool TstSignedLan::waitState(const QString& idx, int state, int timeoutMs)
{
    const QJsonObject d =
        m_driver.waitDump(timeoutMs, [&](const QJsonObject& o) { return stateOf(o, kPcA, idx) == state; });
    return stateOf(d, kPcA, idx) == state;
}

bool TstSignedLan::running(const QString& idx) const
{
    return m_farm.instanceStatus(idx).value(QStringLiteral("running")).toBool();
}

int TstSignedLan::refusalsLogged() const
{
    return m_agent.log().count(QRegularExpression(QStringLiteral("from 10\\.77\\.0\\.3 refused")));
}

void TstSignedLan::dumpLogs() const
{
    for (const LanHostProgram* p : {&m_console, &m_agent})
        qInfo().noquote() << "----" << p->ns << p->program << ":\n" << p->logTail(30);
}

void TstSignedLan::teardown()
{
    m_hostB.leave();
    m_driver.abort();
    m_console.kill();
    m_agent.kill();
    m_farm.killFarmProcesses();
    lanDown(m_prefix, m_lanUp, m_pAccountSvc);
}

// The owner's console starts and closes an instance, every message signed; the start as it went
// over the wire (the console logs what it sends) is what an attacker could have captured.
void TstSignedLan::ownerConsoleWorksSigned()
{
    DRIVER_OK(m_driver, QStringLiteral("tick %1 0").arg(kPcA));
    DRIVER_OK(m_driver, QStringLiteral("menu 0"));
    QVERIFY2(waitState(QStringLiteral("0"), eStateRunning, kStartMs), "the owner's start is not shown");
    QVERIFY(running(QStringLiteral("0")));
    const QRegularExpressionMatch sent =
        QRegularExpression(QStringLiteral("send command: (\\{[^\\n]*\"iOperType\":0[^\\n]*\\})"))
            .match(m_console.log());
    QVERIFY2(sent.hasMatch(), "the console's log holds no start command");
    m_captured = sent.captured(1).toUtf8();
    QVERIFY2(m_captured.contains("\"authSig\""), m_captured.constData());

    // The start's last steps may still hold the instance for a moment: the close is tried again.
    bool closed = false;
    for (int attempt = 0; attempt < 5 && !closed; ++attempt) {
        DRIVER_OK(m_driver, QStringLiteral("tick %1 0").arg(kPcA));
        DRIVER_OK(m_driver, QStringLiteral("menu 1"));
        closed = waitState(QStringLiteral("0"), eStateNotStarted, 4000);
    }
    QVERIFY2(closed, "the owner's close is not shown");
    QVERIFY(m_farm.waitInstance(QStringLiteral("0"), QStringLiteral("running"), false, kStartMs));
    QCOMPARE(refusalsLogged(), 0);
}

// Start, install, delete, rename and create, each plain and signed with the guessed password's key,
// and a remote desktop begun to the attacker's own port: the farm is as it was, nothing streams, no
// control server listens, the console shows no change and no result.
void TstSignedLan::thirdHostCannotCommand()
{
    const QJsonObject before = dump();
    const int refusedBefore = refusalsLogged();
    QUdpSocket stream;
    QVERIFY(stream.bind(QHostAddress::AnyIPv4, 0));
    const QByteArray apk(64 * 1024, 'A');
    for (const bool withKey : {false, true}) {
        const auto doc = [withKey](const struSimuOper& o) {
            return forgedDoc({o}, withKey, MsgAuth::eChannel::Command);
        };
        QVERIFY(sendTo(kAgentIp, 7778, doc(forgedOper(eOperStartup, QStringLiteral("1")))));
        // The agent may close before the file is through: only the document's fate counts.
        sendTo(kAgentIp, 7778,
               doc(forgedOper(eOperInstall, QStringLiteral("1"), apk.size(), QStringLiteral("evil.apk"))),
               apk);
        QVERIFY(sendTo(kAgentIp, 7778, doc(forgedOper(eOperDelete, QStringLiteral("2")))));
        QVERIFY(sendTo(kAgentIp, 7778,
                       doc(forgedOper(eOperRename, QStringLiteral("1"), 0, QStringLiteral("evil")))));
        QVERIFY(sendTo(kAgentIp, 7778, doc(forgedOper(eOperCreate, QString()))));
        struSimuOper begin = forgedOper(eOperRmtDesktopBegin, QStringLiteral("-1"), stream.localPort());
        begin.runId = QStringLiteral("evil");
        QVERIFY(sendTo(kAgentIp, 7778, doc(begin)));
    }
    QVERIFY2(!anyDatagram(stream, kQuietMs), "agent A streams its desktop to host B");
    QTcpSocket control;
    control.connectToHost(QHostAddress(kAgentIp), 7800);
    QVERIFY2(!control.waitForConnected(2000), "a remote desktop control server listens on agent A");

    QVERIFY(!running(QStringLiteral("1")));
    QCOMPARE(m_farm.indexes().size(), kInstances);
    QVERIFY(!m_farm.instanceStatus(QStringLiteral("2")).isEmpty());
    QVERIFY(m_farm.instanceStatus(QStringLiteral("1")).value(QStringLiteral("name")).toString() !=
            QStringLiteral("evil"));
    QVERIFY(
        m_farm.instanceStatus(QStringLiteral("1")).value(QStringLiteral("installed")).toArray().isEmpty());
    const QJsonObject after = dump();
    QCOMPARE(rowsOf(after), rowsOf(before));
    QCOMPARE(after.value(QStringLiteral("results")), before.value(QStringLiteral("results")));
    QCOMPARE(refusalsLogged() - refusedBefore, 12);
}

// Host B hears the console's broadcast queries. It answers as a PC of the same name and as a PC of
// its own, and queries agent A itself; it reports a start and a rename to the console's result
// server. Plain and with the guessed key: agent A tells it nothing, the console keeps A's address and
// list, shows no other PC and no reported change.
void TstSignedLan::thirdHostCannotBeOrFeedAPc()
{
    const QJsonObject before = dump();
    QUdpSocket listener;
    QVERIFY(listener.bind(QHostAddress::AnyIPv4, Discovery::kDiscoveryPort, QUdpSocket::ShareAddress));
    QVERIFY2(anyDatagram(listener, 5000), "host B does not hear the console's queries");
    const QNetworkDatagram heard = listener.receiveDatagram();
    QVERIFY(heard.data().contains(kUser.toUtf8()));

    struPcUdpInfo header;
    header.setPcName(kPcA);
    header.setNickName(QStringLiteral("假的"));
    header.setIpAddr(QStringLiteral("10.77.0.3"));
    QByteArray entries;
    for (int i = 0; i < 5; ++i)
        entries +=
            Discovery::encodeSimuEntry(0, QStringLiteral("fake%1").arg(i), QStringLiteral("假%1").arg(i));
    QUdpSocket asker;
    QVERIFY(asker.bind(QHostAddress::AnyIPv4, 0));
    playConsoleOf(kUser, kGuessed);
    for (const bool withKey : {false, true}) {
        for (int round = 0; round < 3; ++round) {
            const QByteArray sameName = Discovery::encodePcInfoReply(header, entries);
            struPcUdpInfo own = header;
            own.setPcName(QStringLiteral("tovia-pc-evil"));
            const QByteArray ownPc = Discovery::encodePcInfoReply(own, entries);
            for (const QByteArray& reply : {sameName, ownPc}) {
                const QByteArray out =
                    withKey ? FarmTrust::signDatagram(reply, MsgAuth::eChannel::DiscoveryReply) : reply;
                listener.writeDatagram(out, heard.senderAddress(), quint16(heard.senderPort()));
            }
            const QByteArray query = withKey ? FarmTrust::query(Discovery::eQueryPcInfo, kUser)
                                             : Discovery::encodeQuery(Discovery::eQueryPcInfo, kUser);
            asker.writeDatagram(query, QHostAddress(kAgentIp), Discovery::kDiscoveryPort);
            QTest::qWait(300);
        }
        struSimuOper report = forgedOper(eOperStartup, QStringLiteral("1"));
        report.iTime = 1 << 30; // newer than anything the console holds
        QVERIFY(sendTo(kConsoleIp, 7779, forgedDoc({report}, withKey, MsgAuth::eChannel::Result)));
        report.iOperType = eOperCreate; // its text would be shown in a result box
        report.replyRet = QStringLiteral("机房A创建模拟器成功");
        QVERIFY(sendTo(kConsoleIp, 7779, forgedDoc({report}, withKey, MsgAuth::eChannel::Result)));
    }
    LoginRecord::clear();
    QVERIFY2(!anyDatagram(asker, kQuietMs), "agent A answered host B's query");

    const QJsonObject after = dump();
    QCOMPARE(after.value(QStringLiteral("pcs")).toArray().size(), 1);
    QCOMPARE(pcInfoOf(after).value(QStringLiteral("ip")).toString(), kAgentIp);
    QCOMPARE(rowsOf(after), rowsOf(before));
    QCOMPARE(after.value(QStringLiteral("results")), before.value(QStringLiteral("results")));
    QVERIFY(!running(QStringLiteral("1")));
}

// The owner's start, sent again from host B (within the window: a replay), starts nothing.
void TstSignedLan::capturedCommandIsNotTakenAgain()
{
    QVERIFY(!m_captured.isEmpty());
    const int refusedBefore = refusalsLogged();
    QVERIFY(sendTo(kAgentIp, 7778, m_captured));
    QTest::qWait(kQuietMs);
    QVERIFY2(!running(QStringLiteral("0")), "the replayed start ran");
    QCOMPARE(stateOf(dump(), kPcA, QStringLiteral("0")), int(eStateNotStarted));
    // Sent again within the window it is a replay; later its time alone refuses it.
    QVERIFY(m_agent.log().contains(QRegularExpression(QStringLiteral("replayed: nonce seen before|stale:"))));
    QCOMPARE(refusalsLogged(), refusedBefore + 1);
}

// With security/acceptUnsigned=1 agent A serves a console that signs nothing, as before: it answers
// its plain query and carries out its plain start, reporting to it; a command signed with another key
// is still refused.
void TstSignedLan::acceptUnsignedServesAPlainConsole()
{
    m_agent.kill();
    SimuSettings::setDataDir(m_farm.homeDir());
    SimuSettings::setAcceptUnsigned(true);
    QString error;
    QVERIFY2(startAgent(error), qPrintable(error));
    ResultServer results;
    QVERIFY(results.listen(QHostAddress(QStringLiteral("10.77.0.3")), 7779));

    QUdpSocket asker;
    QVERIFY(asker.bind(QHostAddress::AnyIPv4, 0));
    const QByteArray query = Discovery::encodeQuery(Discovery::eQueryPcInfo, kUser);
    const bool answered = QTest::qWaitFor(
        [&] {
            asker.writeDatagram(query, QHostAddress(kAgentIp), Discovery::kDiscoveryPort);
            return anyDatagram(asker, 500);
        },
        kListedMs);
    QVERIFY2(answered, "agent A does not answer a plain query with acceptUnsigned=1");
    Discovery::struDecodedReply reply;
    QCOMPARE(Discovery::decodeReply(asker.receiveDatagram().data(), reply), Discovery::eDecodeStatus::Ok);
    QCOMPARE(reply.header.pcNameText(), kPcA);

    QVERIFY(
        sendTo(kAgentIp, 7778,
               forgedDoc({forgedOper(eOperDelete, QStringLiteral("2"))}, true, MsgAuth::eChannel::Command)));
    QVERIFY(sendTo(
        kAgentIp, 7778,
        forgedDoc({forgedOper(eOperStartup, QStringLiteral("2"))}, false, MsgAuth::eChannel::Command)));
    QVERIFY2(results.waitForReports(1, kStartMs), "no report of the plain start");
    QCOMPARE(results.reports().first().oper.memuIdx, QStringLiteral("2"));
    QVERIFY2(results.reports().first().oper.iReplyRet == 0,
             qPrintable(results.reports().first().oper.replyRet));
    QVERIFY(running(QStringLiteral("2")));
    QTest::qWait(500);
    QCOMPARE(results.reports().size(), 1); // nothing of the signed delete
    QVERIFY(!m_farm.instanceStatus(QStringLiteral("2")).isEmpty());
}

QTEST_MAIN(TstSignedLan)
#include "tst_signed_lan.moc"
