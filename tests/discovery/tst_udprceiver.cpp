// The agent's discovery responder against a simulated MEmu farm, with a loopback UDP socket acting
// as the console: who gets an answer, and the answers byte for byte.
#include "discovery.h"
#include "farmfixture.h"
#include "farmtrust.h"
#include "loginret.h"
#include "msgauth.h"
#include "platform.h"
#include "screenshotpoolobj.h"
#include "simusettings.h"
#include "simustatestore.h"
#include "udprceiverobj.h"

#include <QJsonDocument>
#include <QNetworkDatagram>
#include <QThread>
#include <QUdpSocket>
#include <QtTest>

using namespace Discovery;

namespace {

constexpr int kReplyWaitMs = 20000; // bounded wait for one query's answer (a capture may run)
constexpr int kSilenceWaitMs = 400; // how long silence is awaited when no answer is expected

QString farmsimPath()
{
    return qEnvironmentVariable("TOVIA_BIN_DIR") + QStringLiteral("/farmsim");
}

bool runFarmsim(const QStringList& args)
{
    QProcess p;
    p.start(farmsimPath(), args);
    if (!p.waitForFinished(30000) || p.exitCode() != 0) {
        qWarning() << "farmsim" << args << p.readAllStandardError();
        return false;
    }
    return true;
}

QImage solidPicture(const QColor& color)
{
    QImage image(360, 640, QImage::Format_RGB32);
    image.fill(color);
    return image;
}

} // namespace

class TstUdpRceiver : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void foreignOrMissingUserGetsNoReply();
    void noEmulatorsAnswersOneEmptyPcInfo();
    void pcInfoListsEveryEmulator();
    void simuStateRepliesCarryRecordsAndThumbnails();
    void missingScreenshotIsLeftToThePool();
    void longChinesePcNameIsCutCleanly();
    void unknownQueryTypeGetsEmptyHeader();
    void answersEveryQueryFromItsOwnThread();
    void answersOnlyQueriesOfTheFarm();

private:
    void makeFarm(int instances);
    QList<QByteArray> query(int type, const QString& user, int* pAnswered = nullptr);
    struDecodedReply decoded(const QByteArray& datagram);

    QTemporaryDir m_tmp;
    QString m_farmDir;
    UdpRceiverObj* m_pReceiver = nullptr;
    QUdpSocket* m_pConsole = nullptr;
    QList<qint64> m_instancePids;
};

void TstUdpRceiver::initTestCase()
{
    if (!QFileInfo(farmsimPath()).isExecutable())
        QSKIP("farmsim is not built (TOVIA_BIN_DIR/farmsim missing)");
    QVERIFY(m_tmp.isValid());
    // The instances' windows, titled alike in every farm, stay off the display other tests use.
    XvfbServer::isolateDisplay();
}

void TstUdpRceiver::init()
{
    static int round = 0;
    const QString home = m_tmp.filePath(QStringLiteral("home%1").arg(++round));
    QVERIFY(QDir().mkpath(home));
    SimuSettings::setDataDir(home);
    SimuSettings::setSimuType(1);
    SimuSettings::setRunLimit(3);
    SimuSettings::setDaemonModel(2);
    SimuSettings::setPcName(QStringLiteral("PC-A"));
    SimuSettings::setPcNickName(QStringLiteral("机房A"));
    CLoginRet login;
    login.strUserName = QStringLiteral("alice");
    login.baFarmKey = QByteArray(32, 'k');
    LoginRecord::set(login);

    m_pReceiver = new UdpRceiverObj(0, QHostAddress::LocalHost);
    m_pReceiver->slInitSocket();
    QVERIFY(m_pReceiver->localPort() != 0);
    m_pConsole = new QUdpSocket;
    QVERIFY(m_pConsole->bind(QHostAddress::LocalHost, 0));
}

void TstUdpRceiver::cleanup()
{
    delete m_pReceiver;
    m_pReceiver = nullptr;
    delete m_pConsole;
    m_pConsole = nullptr;
    for (qint64 pid : qAsConst(m_instancePids))
        platform::killProcessTree(pid);
    m_instancePids.clear();
    LoginRecord::clear();
}

void TstUdpRceiver::cleanupTestCase()
{
    SimuSettings::setDataDir(QString());
}

void TstUdpRceiver::makeFarm(int instances)
{
    // Each farm gets its own parent folder: the MEmu manager lives beside the install folder.
    static int round = 0;
    m_farmDir = m_tmp.filePath(QStringLiteral("farm%1/MEmu").arg(++round));
    QVERIFY(runFarmsim({QStringLiteral("init"), QStringLiteral("--product"), QStringLiteral("memu"),
                        QStringLiteral("--instances"), QString::number(instances), m_farmDir}));
    QVERIFY(runFarmsim({QStringLiteral("set"), m_farmDir, QStringLiteral("bootDelayMs=0")}));
    SimuSettings::setDir(m_farmDir);
}

// Sends one query and collects every datagram of its answer.
QList<QByteArray> TstUdpRceiver::query(int type, const QString& user, int* pAnswered)
{
    QSignalSpy answered(m_pReceiver, &UdpRceiverObj::sigResponsedOneCenterTool);
    m_pConsole->writeDatagram(FarmTrust::query(type, user), QHostAddress::LocalHost,
                              m_pReceiver->localPort());
    answered.wait(user == LoginRecord::userName() && !user.isEmpty() ? kReplyWaitMs : kSilenceWaitMs);
    if (pAnswered)
        *pAnswered = answered.count();
    // Each reply is signed with the farm key; what is compared below is the reply inside.
    MsgVerifier verifier(MsgAuth::eChannel::DiscoveryReply);
    QList<QByteArray> replies;
    while (m_pConsole->hasPendingDatagrams()) {
        const QByteArray datagram = m_pConsole->receiveDatagram().data();
        QByteArray body;
        const MsgAuth::eVerdict v = verifier.checkDatagram(datagram, LoginRecord::farmKey(), &body);
        replies.append(v == MsgAuth::eVerdict::Ok ? body : datagram);
    }
    return replies;
}

struDecodedReply TstUdpRceiver::decoded(const QByteArray& datagram)
{
    struDecodedReply out;
    const eDecodeStatus status = decodeReply(datagram, out);
    if (status != eDecodeStatus::Ok)
        qWarning() << "reply does not decode:" << int(status);
    return out;
}

void TstUdpRceiver::foreignOrMissingUserGetsNoReply()
{
    makeFarm(1);
    int answered = -1;
    QVERIFY(query(eQueryPcInfo, QStringLiteral("mallory"), &answered).isEmpty());
    QCOMPARE(answered, 0);
    // User names compare exactly.
    QVERIFY(query(eQueryPcInfo, QStringLiteral("Alice"), &answered).isEmpty());
    // An agent that nobody signed in to answers nobody, not even a query without a name.
    LoginRecord::clear();
    QVERIFY(query(eQueryPcInfo, QString(), &answered).isEmpty());
    QCOMPARE(answered, 0);
    // Garbage is not a query.
    QSignalSpy spy(m_pReceiver, &UdpRceiverObj::sigResponsedOneCenterTool);
    m_pConsole->writeDatagram(QByteArray("\x01\x02garbage"), QHostAddress::LocalHost,
                              m_pReceiver->localPort());
    QVERIFY(!spy.wait(kSilenceWaitMs));
    QVERIFY(!m_pConsole->hasPendingDatagrams());
}

void TstUdpRceiver::noEmulatorsAnswersOneEmptyPcInfo()
{
    makeFarm(0);
    int answered = 0;
    const QList<QByteArray> pcInfo = query(eQueryPcInfo, QStringLiteral("alice"), &answered);
    QCOMPARE(answered, 1);
    QCOMPARE(pcInfo.size(), 1);
    QCOMPARE(pcInfo.first().size(), 288);
    const struDecodedReply r = decoded(pcInfo.first());
    QCOMPARE(int(r.header.kind), 0);
    QCOMPARE(int(r.header.iSimuCount), 0);
    QCOMPARE(int(r.header.iDataLen), 0);

    QVERIFY(query(eQuerySimuState, QStringLiteral("alice"), &answered).isEmpty());
    QCOMPARE(answered, 1); // answered with nothing, still an answered query
}

void TstUdpRceiver::pcInfoListsEveryEmulator()
{
    makeFarm(3);
    SimuSettings::setRunLimit(5);
    const QList<QByteArray> replies = query(eQueryPcInfo, QStringLiteral("alice"));
    QCOMPARE(replies.size(), 1);
    const QByteArray& d = replies.first();
    QCOMPARE(d.size(), 288 + 3 * 164);
    const struDecodedReply r = decoded(d);
    QCOMPARE(r.header.pcNameText(), QStringLiteral("PC-A"));
    QCOMPARE(r.header.nickNameText(), QStringLiteral("机房A"));
    QCOMPARE(r.header.ipAddrText(), QStringLiteral("127.0.0.1")); // the address facing the console
    QCOMPARE(int(r.header.iRunLimit), 5);
    QCOMPARE(int(r.header.iDaemonModel), 2);
    QCOMPARE(int(r.header.iSimuType), 1);
    QCOMPARE(d.mid(257, 3), QByteArray(3, '\0'));
    QCOMPARE(d.mid(272, 8), QByteArray(8, '\0'));
    // Entries at 288 + i x 164 in inventory order, exactly as the inventory lays them out.
    const QStringList idx{QStringLiteral("MEmu"), QStringLiteral("MEmu_1"), QStringLiteral("MEmu_2")};
    for (int i = 0; i < 3; ++i) {
        const QByteArray entry = d.mid(288 + i * 164, 164);
        QCOMPARE(qFromLittleEndian<qint32>(entry.constData()), 21503 + 10 * i);
        QCOMPARE(entry.mid(4, 32), idx.at(i).toUtf8() + QByteArray(32 - idx.at(i).size(), '\0'));
        QCOMPARE(r.simus.at(i).memuIdx, idx.at(i));
    }
    QCOMPARE(r.simus.at(0).simuName, QStringLiteral("逍遥模拟器"));
}

void TstUdpRceiver::simuStateRepliesCarryRecordsAndThumbnails()
{
    makeFarm(4);
    // MEmu: running with a picture; MEmu_1: starting (in the running list, no picture);
    // MEmu_2: installing, main picture broken, backup good; MEmu_3: never recorded, not running.
    auto store = [](const QString& idx, int state, int time) {
        SimuSettings::updateSimuRecord(idx, [&](struSimuRecord& rec) {
            rec.iState = state;
            rec.iTime = time;
        });
    };
    store(QStringLiteral("MEmu"), 1, 1700000100);
    store(QStringLiteral("MEmu_1"), 2, 1700000200);
    store(QStringLiteral("MEmu_2"), 5, -1);
    SimuSettings::setRunningList(
        {QStringLiteral("MEmu"), QStringLiteral("MEmu_1"), QStringLiteral("MEmu_2")});
    QVERIFY(solidPicture(Qt::blue).save(SimuSettings::screenshotPath(QStringLiteral("MEmu"))));
    QVERIFY(solidPicture(Qt::green).save(SimuSettings::screenshotPath(QStringLiteral("MEmu_1"))));
    QFile broken(SimuSettings::screenshotPath(QStringLiteral("MEmu_2")));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("\x89PNG half written");
    broken.close();
    QVERIFY(solidPicture(Qt::red).save(SimuSettings::screenshotBakPath(QStringLiteral("MEmu_2"))));

    const QList<QByteArray> replies = query(eQuerySimuState, QStringLiteral("alice"));
    QCOMPARE(replies.size(), 4);
    QList<struDecodedReply> r;
    for (const QByteArray& d : replies)
        r.append(decoded(d));
    for (const struDecodedReply& one : qAsConst(r)) {
        QCOMPARE(int(one.header.kind), 1);
        QCOMPARE(one.header.pcNameText(), QStringLiteral("PC-A"));
        QCOMPARE(int(one.header.iDaemonModel), 2);
    }

    QCOMPARE(r[0].header.memuIdxText(), QStringLiteral("MEmu"));
    QCOMPARE(r[0].header.simuNameText(), QStringLiteral("逍遥模拟器"));
    QCOMPARE(r[0].header.state(), 1);
    QCOMPARE(r[0].header.stateTime(), 1700000100);
    QImage thumb = QImage::fromData(r[0].jpeg, "JPG");
    QCOMPARE(thumb.size(), QSize(100, 150));
    QVERIFY(qBlue(thumb.pixel(50, 75)) > 200 && qRed(thumb.pixel(50, 75)) < 60);

    QCOMPARE(r[1].header.memuIdxText(), QStringLiteral("MEmu_1"));
    QCOMPARE(r[1].header.simuNameText(), QStringLiteral("Farm-1"));
    QCOMPARE(r[1].header.state(), 2);
    QCOMPARE(r[1].header.stateTime(), 1700000200);
    QVERIFY(r[1].jpeg.isEmpty()); // starting: no picture even though one exists

    QCOMPARE(r[2].header.state(), 5);
    QCOMPARE(r[2].header.stateTime(), -1);
    thumb = QImage::fromData(r[2].jpeg, "JPG");
    QCOMPARE(thumb.size(), QSize(100, 150));
    QVERIFY(qRed(thumb.pixel(50, 75)) > 200 && qBlue(thumb.pixel(50, 75)) < 60); // from the backup

    // Not in the running list: the PC nick name stands at offset 64, no record means -1 / 0.
    QCOMPARE(r[3].header.memuIdxText(), QStringLiteral("MEmu_3"));
    QCOMPARE(r[3].header.simuNameText(), QStringLiteral("机房A"));
    QCOMPARE(r[3].header.state(), -1);
    QCOMPARE(r[3].header.stateTime(), 0);
    QCOMPARE(replies[3].size(), 288);

    // Asked again, the same files give the same bytes; a screenshot that changed gives its new picture.
    QCOMPARE(query(eQuerySimuState, QStringLiteral("alice")), replies);
    QTest::qWait(5);
    QVERIFY(solidPicture(Qt::yellow).save(SimuSettings::screenshotPath(QStringLiteral("MEmu"))));
    const QList<QByteArray> again = query(eQuerySimuState, QStringLiteral("alice"));
    QCOMPARE(again.size(), 4);
    thumb = QImage::fromData(decoded(again[0]).jpeg, "JPG");
    QVERIFY(qRed(thumb.pixel(50, 75)) > 200 && qGreen(thumb.pixel(50, 75)) > 200 &&
            qBlue(thumb.pixel(50, 75)) < 60);
    // The pictures are written in turn: a backup newer than the main picture is the one shown.
    QTest::qWait(5);
    QVERIFY(solidPicture(Qt::blue).save(SimuSettings::screenshotBakPath(QStringLiteral("MEmu"))));
    thumb = QImage::fromData(decoded(query(eQuerySimuState, QStringLiteral("alice")).value(0)).jpeg, "JPG");
    QVERIFY(qBlue(thumb.pixel(50, 75)) > 200 && qRed(thumb.pixel(50, 75)) < 60);
}

// An answer never waits for adb: an instance without a picture yet goes without one at once, even
// when its tools take 20 s, and the query tells the screenshot pool that a console looks; the
// pool's capture is in the next answer.
void TstUdpRceiver::missingScreenshotIsLeftToThePool()
{
    makeFarm(1);
    const QString idx = QStringLiteral("MEmu");
    QVERIFY(runFarmsim({QStringLiteral("set"), m_farmDir, QStringLiteral("--instance"), idx,
                        QStringLiteral("toolDelayMs=20000")}));
    qint64 pid = 0;
    QVERIFY(QProcess::startDetached(m_farmDir + QStringLiteral("/MEmu.exe"), {idx}, m_farmDir, &pid));
    m_instancePids.append(pid);
    SimuSettings::updateSimuRecord(idx, [](struSimuRecord& rec) { rec.iState = 1; });
    SimuSettings::setRunningList({idx});
    QVERIFY(!QFile::exists(SimuSettings::screenshotPath(idx)));

    QElapsedTimer clock;
    clock.start();
    const QList<QByteArray> first = query(eQuerySimuState, QStringLiteral("alice"));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(first.size(), 1);
    QVERIFY(decoded(first.first()).jpeg.isEmpty());
    QVERIFY(!QFile::exists(SimuSettings::screenshotPath(idx)));
    const qint64 since = SimuStateStore::instance().msSinceStateQuery();
    QVERIFY(since >= 0 && since < ScreenshotPoolObj::kConsoleLookMs);

    QVERIFY(runFarmsim({QStringLiteral("set"), m_farmDir, QStringLiteral("--instance"), idx,
                        QStringLiteral("toolDelayMs=")}));
    ScreenshotPoolObj pool;
    QDeadlineTimer deadline(kReplyWaitMs); // the instance needs a moment to come up
    while (!QFile::exists(SimuSettings::screenshotPath(idx)) && !deadline.hasExpired())
        pool.runPass();
    const QList<QByteArray> next = query(eQuerySimuState, QStringLiteral("alice"));
    QCOMPARE(next.size(), 1);
    const struDecodedReply r = decoded(next.first());
    QCOMPARE(int(r.header.iDataLen), r.jpeg.size());
    QCOMPARE(QImage::fromData(r.jpeg, "JPG").size(), QSize(100, 150));
}

void TstUdpRceiver::longChinesePcNameIsCutCleanly()
{
    makeFarm(1);
    SimuSettings::setPcName(QString(40, QChar(0x7535))); // 电 x 40 = 120 bytes
    SimuSettings::setPcNickName(QString());              // falls back to the PC name
    const QList<QByteArray> replies = query(eQueryPcInfo, QStringLiteral("alice"));
    QCOMPARE(replies.size(), 1);
    const struDecodedReply r = decoded(replies.first());
    QCOMPARE(r.header.pcNameText(), QString(21, QChar(0x7535)));
    QCOMPARE(r.header.nickNameText(), QString(40, QChar(0x7535))); // 120 bytes fit in 128
    QCOMPARE(replies.first().at(63), '\0');
    QCOMPARE(r.header.ipAddrText(), QStringLiteral("127.0.0.1")); // the neighbour is untouched
}

void TstUdpRceiver::unknownQueryTypeGetsEmptyHeader()
{
    makeFarm(2);
    const QList<QByteArray> replies = query(7, QStringLiteral("alice"));
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.first().size(), 288);
    const struDecodedReply r = decoded(replies.first());
    QCOMPARE(int(r.header.kind), 0);
    QCOMPARE(int(r.header.iSimuCount), 0);
    QCOMPARE(int(r.header.iRunLimit), 0);
    QCOMPARE(r.header.pcNameText(), QStringLiteral("PC-A"));
}

void TstUdpRceiver::answersEveryQueryFromItsOwnThread()
{
    makeFarm(2);
    QThread thread;
    auto* pReceiver = new UdpRceiverObj(0, QHostAddress::LocalHost);
    pReceiver->moveToThread(&thread);
    connect(&thread, &QThread::started, pReceiver, &UdpRceiverObj::slInitSocket);
    connect(&thread, &QThread::finished, pReceiver, &QObject::deleteLater);
    QSignalSpy answered(pReceiver, &UdpRceiverObj::sigResponsedOneCenterTool);
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(pReceiver->localPort() != 0, 5000);

    // Queries one after the other, as the console's loop sends them, with queries of another user
    // in between (dropped at once): none of ours may go unanswered.
    for (int i = 0; i < 12; ++i) {
        const int type = i % 2 ? eQueryPcInfo : eQuerySimuState;
        m_pConsole->writeDatagram(i % 3 ? FarmTrust::query(type, QStringLiteral("mallory")) : QByteArray("q"),
                                  QHostAddress::LocalHost, pReceiver->localPort());
        QTest::qWait(50);
        m_pConsole->writeDatagram(FarmTrust::query(type, QStringLiteral("alice")), QHostAddress::LocalHost,
                                  pReceiver->localPort());
        QTRY_COMPARE_WITH_TIMEOUT(answered.count(), i + 1, 5000);
    }
    int datagrams = 0;
    while (m_pConsole->hasPendingDatagrams()) {
        m_pConsole->receiveDatagram();
        ++datagrams;
    }
    QCOMPARE(datagrams, 6 * 1 + 6 * 2);
    thread.quit();
    QVERIFY(thread.wait(5000));
}

// A query the farm key did not sign, or signed for another channel, stale, or a copy of one already
// answered (a broadcast reaching the agent twice) gets no answer; with acceptUnsigned=1 a plain query
// does, and what is signed with another key still does not.
void TstUdpRceiver::answersOnlyQueriesOfTheFarm()
{
    makeFarm(1);
    const auto signedWith = [](const QByteArray& key, MsgAuth::eChannel channel, qint64 nowMs = 0) {
        QJsonObject q = queryObject(eQueryPcInfo, QStringLiteral("alice"));
        MsgAuth::signJson(q, key, channel, QByteArray(), nowMs);
        return QJsonDocument(q).toJson(QJsonDocument::Compact);
    };
    const QByteArray key = LoginRecord::farmKey();
    const QByteArray good = signedWith(key, MsgAuth::eChannel::DiscoveryQuery);
    const QList<QByteArray> refused{
        encodeQuery(eQueryPcInfo, QStringLiteral("alice")),
        signedWith(QByteArray(32, 'x'), MsgAuth::eChannel::DiscoveryQuery),
        signedWith(key, MsgAuth::eChannel::Command),
        signedWith(key, MsgAuth::eChannel::DiscoveryQuery, MsgAuth::currentTimeMs() - 31000),
        good,
    };
    QSignalSpy answered(m_pReceiver, &UdpRceiverObj::sigResponsedOneCenterTool);
    for (const QByteArray& q : QList<QByteArray>{good} + refused)
        m_pConsole->writeDatagram(q, QHostAddress::LocalHost, m_pReceiver->localPort());
    QVERIFY(answered.wait(kReplyWaitMs));
    QVERIFY(!answered.wait(kSilenceWaitMs * 2));
    QCOMPARE(answered.count(), 1);

    FarmTrust::setAcceptUnsigned(true);
    const auto restore = qScopeGuard([] { FarmTrust::setAcceptUnsigned(false); });
    for (const QByteArray& q : refused.mid(0, 2))
        m_pConsole->writeDatagram(q, QHostAddress::LocalHost, m_pReceiver->localPort());
    QVERIFY(answered.wait(kReplyWaitMs));
    QVERIFY(!answered.wait(kSilenceWaitMs * 2));
    QCOMPARE(answered.count(), 2);
}

QTEST_GUILESS_MAIN(TstUdpRceiver)
#include "tst_udprceiver.moc"
