// The console's discovery worker on loopback: the query cadence and targets (a plain socket plays
// the agent), what it does with truncated, lying and bursty replies, when it passes thumbnails on,
// and a whole exchange with the agent's real responder over a simulated farm.
#include "agentregistry.h"
#include "discovery.h"
#include "discoverytargets.h"
#include "farmfixture.h"
#include "farmtrust.h"
#include "loginret.h"
#include "simusettings.h"
#include "thumbjpeg.h"
#include "udprceiverobj.h"
#include "udpsenderobj.h"

#include <QImage>
#include <QNetworkDatagram>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QThread>
#include <QUdpSocket>
#include <QtTest>

#include <memory>
#include <unistd.h>

using namespace Discovery;

namespace {

constexpr int kWaitMs = 10000;

// The worker on a thread of its own, as the main window runs it.
struct SenderRun
{
    QThread thread;
    UdpSenderObj* pObj = nullptr;

    SenderRun(std::shared_ptr<AgentRegistry> registry, const UdpSenderObj::Options& options)
    {
        pObj = new UdpSenderObj(std::move(registry), options);
        pObj->moveToThread(&thread);
        QObject::connect(&thread, &QThread::started, pObj, &UdpSenderObj::slInitSocket);
        QObject::connect(&thread, &QThread::finished, pObj, &QObject::deleteLater);
        thread.start();
    }
    ~SenderRun()
    {
        thread.quit();
        thread.wait(5000);
    }
    bool waitBound() const
    {
        QElapsedTimer t;
        t.start();
        while (pObj->localPort() == 0 && !t.hasExpired(kWaitMs))
            QThread::msleep(5);
        return pObj->localPort() != 0;
    }
};

UdpSenderObj::Options options(quint16 agentPort, int tickMs = 60000)
{
    UdpSenderObj::Options o;
    o.queryPort = agentPort;
    o.tickMs = tickMs;
    o.batchMs = 5;
    o.targets = {QHostAddress(QHostAddress::LocalHost)};
    o.userName = [] { return QStringLiteral("alice"); };
    return o;
}

struPcUdpInfo pcHeader(const QString& pcName)
{
    struPcUdpInfo h;
    h.setPcName(pcName);
    h.setNickName(QStringLiteral("机房"));
    h.setIpAddr(QStringLiteral("127.0.0.1"));
    h.iRunLimit = 3;
    h.iSimuType = 2;
    return h;
}

QByteArray stateReply(const QString& pcName, const QString& memuIdx, int state, int time,
                      const QByteArray& jpeg)
{
    struPcUdpInfo h = pcHeader(pcName);
    h.setSimuName(QStringLiteral("name-") + memuIdx);
    h.setMemuIdx(memuIdx);
    h.setState(state);
    h.setStateTime(time);
    return encodeSimuStateReply(h, jpeg);
}

// Overwrites one little-endian integer of a datagram.
void poke(QByteArray& d, int offset, qint32 value)
{
    char le[4];
    qToLittleEndian<qint32>(value, le);
    d.replace(offset, 4, le, 4);
}

SimuReportList flatten(const QSignalSpy& spy)
{
    SimuReportList all;
    for (const QList<QVariant>& call : spy)
        all += call.first().value<SimuReportList>();
    return all;
}

} // namespace

class TstUdpSender : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void queriesTypeOneThenTypeZeroToTheSetTargets();
    void truncatedAndLyingRepliesAreDropped();
    void thumbnailsOnlyWhileRunningOrInstalling();
    void aBurstOfRepliesIsDrainedWhole();
    void repliesBeyondTheBacklogAreCountedNotLost();
    void listsTheEmulatorsOfARealAgent();
    void onlyRepliesOfTheFarmAreHeard();

private:
    QTemporaryDir m_home;
};

void TstUdpSender::initTestCase()
{
    QVERIFY(m_home.isValid());
    SimuSettings::setDataDir(m_home.path());
    ConsoleTypes::registerMetaTypes();
    // The agents played here reply as agents without a farm key do.
    FarmTrust::setAcceptUnsigned(true);
}

void TstUdpSender::queriesTypeOneThenTypeZeroToTheSetTargets()
{
    QUdpSocket agent;
    QVERIFY(agent.bind(QHostAddress::LocalHost, 0));
    // No explicit targets: the setting decides, and it says loopback only.
    SimuSettings::setValue(DiscoveryTargets::settingKey(), QStringLiteral("127.0.0.1"));
    UdpSenderObj::Options o = options(agent.localPort(), 150);
    o.targets.clear();
    auto reg = std::make_shared<AgentRegistry>();
    SenderRun run(reg, o);
    QList<int> types;
    QElapsedTimer clock;
    clock.start();
    while (types.size() < 4 && !clock.hasExpired(kWaitMs)) {
        if (!agent.waitForReadyRead(200))
            continue;
        while (agent.hasPendingDatagrams()) {
            const QNetworkDatagram d = agent.receiveDatagram();
            int type = -1;
            QString user;
            QVERIFY(parseQuery(d.data(), type, user).ok());
            QCOMPARE(user, QStringLiteral("alice"));
            QCOMPARE(d.senderPort(), run.pObj->localPort());
            types.append(type);
        }
    }
    QCOMPARE(types, (QList<int>{1, 0, 1, 0}));
    QVERIFY(run.pObj->tickCount() >= 4);
    // The first query waits one tick.
    QVERIFY(clock.elapsed() >= 4 * 150 - 50);

    // The refresh button's slot: one query of each kind at once.
    QMetaObject::invokeMethod(run.pObj, "slBroadCast", Qt::QueuedConnection);
    QList<int> refresh;
    while (refresh.size() < 2 && agent.waitForReadyRead(2000)) {
        while (agent.hasPendingDatagrams()) {
            int type = -1;
            QString user;
            parseQuery(agent.receiveDatagram().data(), type, user);
            refresh.append(type);
        }
    }
    QVERIFY(refresh.contains(0) && refresh.contains(1));
    SimuSettings::setValue(DiscoveryTargets::settingKey(), QVariant());
}

void TstUdpSender::truncatedAndLyingRepliesAreDropped()
{
    QUdpSocket agent;
    QVERIFY(agent.bind(QHostAddress::LocalHost, 0));
    auto reg = std::make_shared<AgentRegistry>();
    SenderRun run(reg, options(agent.localPort()));
    QVERIFY(run.waitBound());
    QSignalSpy pcInfo(run.pObj, &UdpSenderObj::sigNewSimusArrived);
    QSignalSpy reports(run.pObj, &UdpSenderObj::sigSimuReportsArrived);

    const QByteArray two = encodeSimuEntry(5555, "0", "a") + encodeSimuEntry(5557, "1", "b");
    const QByteArray valid = encodePcInfoReply(pcHeader("PC"), two);
    QByteArray countLies = valid; // says 3 entries, 3 x 164 bytes, holds 2
    poke(countLies, 264, 3);
    poke(countLies, 260, 3 * 164);
    QByteArray lengthLies = valid; // length is not count x 164
    poke(lengthLies, 260, 300);
    QByteArray negative = valid;
    poke(negative, 264, -1);
    poke(negative, 260, -164);
    QByteArray hugeJpeg = stateReply("PC", "0", 1, 5, QByteArray(50, 'j'));
    poke(hugeJpeg, 260, 1 << 30);
    QByteArray unknownKind = valid;
    unknownKind[256] = char(9);
    const QList<QByteArray> bad{valid.left(100), valid.left(287), countLies,  lengthLies,
                                negative,        hugeJpeg,        unknownKind};
    for (const QByteArray& d : bad)
        agent.writeDatagram(d, QHostAddress::LocalHost, run.pObj->localPort());
    agent.writeDatagram(valid + QByteArray(40, 'x'), QHostAddress::LocalHost, run.pObj->localPort());
    agent.writeDatagram(valid, QHostAddress::LocalHost, run.pObj->localPort()); // a repeat

    QTRY_COMPARE_WITH_TIMEOUT(pcInfo.size(), 1, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(run.pObj->droppedCount(), qint64(bad.size()), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(run.pObj->repeatedCount(), qint64(1), kWaitMs);
    QCOMPARE(pcInfo.size(), 1);
    const struPcInfoReply r = pcInfo.first().first().value<struPcInfoReply>();
    QCOMPARE(r.simus.size(), 2);
    QCOMPARE(r.simus.at(1).iAdbPort, 5557);
    QCOMPARE(r.from, QHostAddress(QHostAddress::LocalHost));
    QVERIFY(reports.isEmpty());
}

void TstUdpSender::thumbnailsOnlyWhileRunningOrInstalling()
{
    QUdpSocket agent;
    QVERIFY(agent.bind(QHostAddress::LocalHost, 0));
    auto reg = std::make_shared<AgentRegistry>();
    QList<struSimuEntry> simus;
    for (int s = -1; s <= 7; ++s)
        simus.append(struSimuEntry{0, QString::number(s), QStringLiteral("e") + QString::number(s)});
    reg->applyPcInfo(pcHeader("PC"), simus);
    QVERIFY(reg->applyState("PC", "1", 3, 100)); // shown as closing at time 100
    SenderRun run(reg, options(agent.localPort()));
    QVERIFY(run.waitBound());
    QSignalSpy reports(run.pObj, &UdpSenderObj::sigSimuReportsArrived);

    const QByteArray jpeg = thumbJpeg(Qt::red);
    const quint16 port = run.pObj->localPort();
    for (int s = -1; s <= 7; ++s) {
        const int time = s == 1 ? 50 : 200; // emulator "1": a stale "running" report
        agent.writeDatagram(stateReply("PC", QString::number(s), s, time, jpeg), QHostAddress::LocalHost,
                            port);
    }
    agent.writeDatagram(stateReply("PC", "5", 5, 300, jpeg), QHostAddress::LocalHost, port);
    agent.writeDatagram(stateReply("PC", "unlisted", 1, 300, jpeg), QHostAddress::LocalHost, port);
    agent.writeDatagram(stateReply("pc", "5", 1, 300, jpeg), QHostAddress::LocalHost, port);

    // The same answer again, as an agent reached through two targets sends it: passed over.
    agent.writeDatagram(stateReply("PC", "5", 5, 300, jpeg), QHostAddress::LocalHost, port);
    QTRY_COMPARE_WITH_TIMEOUT(run.pObj->repeatedCount(), qint64(1), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(flatten(reports).size(), 12, kWaitMs);
    QStringList withPicture;
    for (const struSimuReport& r : flatten(reports)) {
        if (!r.jpeg.isEmpty()) {
            QCOMPARE(r.jpeg, jpeg);
            withPicture.append(r.pcName + QLatin1Char('/') + r.memuIdx);
        }
    }
    QCOMPARE(withPicture, (QStringList{"PC/5", "PC/5"}));
    const struSimuReport unlisted = flatten(reports).at(10);
    QCOMPARE(unlisted.memuIdx, QStringLiteral("unlisted"));
    QCOMPARE(unlisted.iState, 1); // the state still travels
    // After the next query the same state (and a new picture) is news again.
    QMetaObject::invokeMethod(run.pObj, "slBroadcastPicture", Qt::QueuedConnection);
    QVERIFY(agent.waitForReadyRead(kWaitMs));
    agent.writeDatagram(stateReply("PC", "5", 5, 300, jpeg), QHostAddress::LocalHost, port);
    QTRY_COMPARE_WITH_TIMEOUT(flatten(reports).size(), 13, kWaitMs);
    QCOMPARE(run.pObj->repeatedCount(), qint64(1));
}

// A round of many agents arrives within milliseconds: every datagram must come through.
void TstUdpSender::aBurstOfRepliesIsDrainedWhole()
{
    QUdpSocket agent;
    QVERIFY(agent.bind(QHostAddress::LocalHost, 0));
    auto reg = std::make_shared<AgentRegistry>();
    SenderRun run(reg, options(agent.localPort()));
    QVERIFY(run.waitBound());
    QSignalSpy reports(run.pObj, &UdpSenderObj::sigSimuReportsArrived);
    constexpr int kCount = 3000;
    const QByteArray jpeg(4000, 'j');
    const int needed = kCount * 8192; // kernel accounting per 4 KB datagram
    // Beyond net.core.rmem_max only a privileged process may go; root always can.
    QFile rmemMax(QStringLiteral("/proc/sys/net/core/rmem_max"));
    const bool mayRaise = ::geteuid() == 0 || (rmemMax.open(QIODevice::ReadOnly) &&
                                               rmemMax.readAll().trimmed().toLongLong() >= needed);
    if (!mayRaise)
        QSKIP("not root and net.core.rmem_max is small: the receive buffer cannot be raised here");
    QVERIFY2(run.pObj->receiveBufferBytes() >= needed,
             qPrintable(QStringLiteral("receive buffer %1 bytes").arg(run.pObj->receiveBufferBytes())));
    for (int i = 0; i < kCount; ++i) {
        const QByteArray d =
            stateReply(QStringLiteral("PC%1").arg(i / 50), QString::number(i % 50), 1, i, jpeg);
        QCOMPARE(agent.writeDatagram(d, QHostAddress::LocalHost, run.pObj->localPort()), qint64(d.size()));
    }
    QTRY_COMPARE_WITH_TIMEOUT(run.pObj->receivedCount(), qint64(kCount), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(flatten(reports).size(), kCount, kWaitMs);
    QVERIFY2(reports.size() < kCount / 10, "state reports travel in batches");
}

// The replies read and not yet checked are bounded: beyond the bound each one is dropped and
// counted (every datagram read is either reported or counted), and once the backlog is worked off
// the next reply is taken again.
void TstUdpSender::repliesBeyondTheBacklogAreCountedNotLost()
{
    QUdpSocket agent;
    QVERIFY(agent.bind(QHostAddress::LocalHost, 0));
    auto reg = std::make_shared<AgentRegistry>();
    const QByteArray jpeg(3000, 'j');
    const int size = stateReply("PC0", "0", 1, 0, jpeg).size();
    UdpSenderObj::Options o = options(agent.localPort());
    o.backlogBytes = 3 * size;
    SenderRun run(reg, o);
    QVERIFY(run.waitBound());
    QSignalSpy reports(run.pObj, &UdpSenderObj::sigSimuReportsArrived);
    constexpr int kCount = 400;
    for (int i = 0; i < kCount; ++i) {
        const QByteArray d =
            stateReply(QStringLiteral("PC%1").arg(i / 50), QString::number(i % 50), 1, i, jpeg);
        agent.writeDatagram(d, QHostAddress::LocalHost, run.pObj->localPort());
        // In bursts of 50, so that even the smallest receive buffer holds each one whole.
        if (i % 50 == 49)
            QTRY_COMPARE_WITH_TIMEOUT(run.pObj->receivedCount(), qint64(i + 1), kWaitMs);
    }
    QTRY_COMPARE_WITH_TIMEOUT(flatten(reports).size() + run.pObj->droppedCount(), qint64(kCount), kWaitMs);
    QVERIFY(flatten(reports).size() >= 3);

    agent.writeDatagram(stateReply("PC9", "late", 1, 1, jpeg), QHostAddress::LocalHost,
                        run.pObj->localPort());
    QTRY_VERIFY_WITH_TIMEOUT(!flatten(reports).isEmpty() && flatten(reports).last().memuIdx == "late",
                             kWaitMs);
}

// The agent's own responder on a free port, a farm of three MEmu instances, one running.
void TstUdpSender::listsTheEmulatorsOfARealAgent()
{
    FarmFixture farm;
    if (!farm.init(FarmFixture::MEmu, 3))
        QSKIP(qPrintable(farm.error()));
    SimuSettings::setPcName(QStringLiteral("PC-real"));
    SimuSettings::setPcNickName(QStringLiteral("真机"));
    SimuSettings::setRunLimit(2);
    CLoginRet login;
    login.strUserName = QStringLiteral("alice");
    login.baFarmKey = QByteArray(32, 'u');
    LoginRecord::set(login);
    SimuSettings::setRunningList({QStringLiteral("MEmu_1")});
    SimuSettings::updateSimuRecord(QStringLiteral("MEmu_1"), [](struSimuRecord& r) {
        r.iState = 1;
        r.iTime = 42;
    });
    QImage shot(360, 640, QImage::Format_RGB32);
    shot.fill(Qt::darkGreen);
    QVERIFY(shot.save(SimuSettings::screenshotPath(QStringLiteral("MEmu_1"))));

    QThread agentThread;
    auto* responder = new UdpRceiverObj(0, QHostAddress::LocalHost);
    responder->moveToThread(&agentThread);
    connect(&agentThread, &QThread::started, responder, &UdpRceiverObj::slInitSocket);
    connect(&agentThread, &QThread::finished, responder, &QObject::deleteLater);
    agentThread.start();
    const auto stopAgent = qScopeGuard([&] {
        agentThread.quit();
        agentThread.wait(5000);
        LoginRecord::clear();
    });
    QTRY_VERIFY_WITH_TIMEOUT(responder->localPort() != 0, kWaitMs);

    auto reg = std::make_shared<AgentRegistry>();
    SenderRun run(reg, options(responder->localPort(), 100));
    QSignalSpy reports(run.pObj, &UdpSenderObj::sigSimuReportsArrived);
    // The GUI side of the exchange: PC information folds into the registry, states follow.
    connect(run.pObj, &UdpSenderObj::sigNewSimusArrived, this,
            [reg](const struPcInfoReply& r) { reg->applyPcInfo(r.header, r.simus, r.from); });
    connect(run.pObj, &UdpSenderObj::sigSimuReportsArrived, this, [reg](const SimuReportList& list) {
        for (const struSimuReport& r : list)
            reg->applyState(r.pcName, r.memuIdx, r.iState, r.iTime);
    });

    struPcEntry pc;
    QTRY_VERIFY_WITH_TIMEOUT(reg->entry(QStringLiteral("PC-real"), pc), kWaitMs);
    QCOMPARE(pc.nickName, QStringLiteral("真机"));
    QCOMPARE(pc.iRunLimit, 2);
    QCOMPARE(pc.rows.size(), 3);
    QCOMPARE(pc.connectAddress(), QStringLiteral("127.0.0.1"));
    // Once the PC is listed, the next type 1 round brings the running one's picture.
    QByteArray picture;
    QElapsedTimer clock;
    clock.start();
    while (picture.isEmpty() && !clock.hasExpired(kWaitMs)) {
        QTest::qWait(50);
        for (const struSimuReport& r : flatten(reports)) {
            if (r.memuIdx == QLatin1String("MEmu_1") && !r.jpeg.isEmpty())
                picture = r.jpeg;
            QVERIFY2(r.memuIdx == QLatin1String("MEmu_1") || r.jpeg.isEmpty(), "picture of a stopped one");
        }
    }
    QImage thumb;
    QVERIFY(thumb.loadFromData(picture, "JPG"));
    QCOMPARE(thumb.size(), QSize(kThumbWidth, kThumbHeight));
    // The spy saw the batch at once; the registry gets it through the queued connection.
    struSimuRow row;
    QTRY_VERIFY_WITH_TIMEOUT(
        reg->row(QStringLiteral("PC-real"), QStringLiteral("MEmu_1"), row) && row.iState == 1, kWaitMs);
    QCOMPARE(row.iTime, 42);
}

// The console signs its queries, and hears only replies signed with its farm key: not plain ones,
// nor those of another key or channel, nor one changed on the way, nor a copy of one already heard.
void TstUdpSender::onlyRepliesOfTheFarmAreHeard()
{
    FarmTrust::setAcceptUnsigned(false);
    const auto restore = qScopeGuard([] {
        FarmTrust::setAcceptUnsigned(true);
        LoginRecord::clear();
    });
    CLoginRet login;
    login.strUserName = QStringLiteral("alice");
    login.baFarmKey = QByteArray(32, 'c');
    LoginRecord::set(login);
    QUdpSocket agent;
    QVERIFY(agent.bind(QHostAddress::LocalHost, 0));
    auto reg = std::make_shared<AgentRegistry>();
    SenderRun run(reg, options(agent.localPort(), 100));
    QVERIFY(run.waitBound());
    QSignalSpy pcInfo(run.pObj, &UdpSenderObj::sigNewSimusArrived);

    QVERIFY(agent.waitForReadyRead(kWaitMs));
    MsgVerifier queries(MsgAuth::eChannel::DiscoveryQuery);
    QJsonObject query;
    QVERIFY(parseQueryObject(agent.receiveDatagram().data(), query).ok());
    QCOMPARE(queries.checkJson(query, login.baFarmKey), MsgAuth::eVerdict::Ok);

    const auto reply = [](const char* pc) {
        return encodePcInfoReply(pcHeader(QString::fromLatin1(pc)), encodeSimuEntry(5555, "0", "a"));
    };
    const QByteArray good =
        MsgAuth::signDatagram(reply("good"), login.baFarmKey, MsgAuth::eChannel::DiscoveryReply);
    QByteArray changed =
        MsgAuth::signDatagram(reply("chgd"), login.baFarmKey, MsgAuth::eChannel::DiscoveryReply);
    changed[0] = 'X';
    const QList<QByteArray> bad{
        reply("plain"),
        MsgAuth::signDatagram(reply("other"), QByteArray(32, 'x'), MsgAuth::eChannel::DiscoveryReply),
        MsgAuth::signDatagram(reply("query"), login.baFarmKey, MsgAuth::eChannel::DiscoveryQuery),
        changed,
        good, // sent again below: the copy is the bad one
    };
    agent.writeDatagram(good, QHostAddress::LocalHost, run.pObj->localPort());
    for (const QByteArray& d : bad)
        agent.writeDatagram(d, QHostAddress::LocalHost, run.pObj->localPort());
    QTRY_COMPARE_WITH_TIMEOUT(run.pObj->droppedCount(), qint64(bad.size()), kWaitMs);
    QCOMPARE(pcInfo.size(), 1);
    QCOMPARE(pcInfo.first().first().value<struPcInfoReply>().header.pcNameText(), QStringLiteral("good"));
}

QTEST_GUILESS_MAIN(TstUdpSender)
#include "tst_udpsender.moc"
