// The command path against a hostile or faulty world, for both products: documents that announce
// records they do not hold or name no instance of this PC, an install into a stopped instance, an
// APK that stalls or trickles while other commands arrive, and a close that the product's own
// listing contradicts.
#include "consoleharness.h"
#include "farmfixture.h"
#include "farmtrust.h"
#include "installrspsormgr.h"
#include "notifierrun.h"
#include "rcvfilerspsormgr.h"
#include "simusettings.h"
#include "simutcprcvobj.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

class TestCmdPathFaults : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void hostileDocumentsRunOnlyTheirRealRecords_data() { products(); }
    void hostileDocumentsRunOnlyTheirRealRecords();
    void failedInstallLeavesStoppedInstanceStopped_data() { products(); }
    void failedInstallLeavesStoppedInstanceStopped();
    void tricklingInstallHoldsUpNoOtherCommand_data() { products(); }
    void tricklingInstallHoldsUpNoOtherCommand();
    void closeContradictedByTheListingFails_data() { products(); }
    void closeContradictedByTheListingFails();

private:
    static void products();
    bool setUp(int instances, const SimuTcpRcvObj::Options& options = SimuTcpRcvObj::Options());
    QByteArray doc(int type, const QStringList& idxs, int iTime, int iExtra = 0) const;
    bool send(const QByteArray& document, const QByteArray& tail = QByteArray());
    QString index(int i) const { return m_idx.at(i); }
    static struSimuRecord stored(const QString& idx);
    static void setState(const QString& idx, int state, int pid = 0);

    std::unique_ptr<FarmFixture> m_pFarm;
    std::unique_ptr<ResultServer> m_pResults;
    std::unique_ptr<OperLogCapture> m_pLog;
    std::unique_ptr<AgentCommandServer> m_pAgent;
    QStringList m_idx;
};

void TestCmdPathFaults::products()
{
    QTest::addColumn<int>("product");
    QTest::newRow("MEmu") << int(FarmFixture::MEmu);
    QTest::newRow("LDPlayer") << int(FarmFixture::LdPlayer);
}

bool TestCmdPathFaults::setUp(int instances, const SimuTcpRcvObj::Options& options)
{
    QFETCH(int, product);
    m_pFarm = std::make_unique<FarmFixture>();
    if (!m_pFarm->init(FarmFixture::Product(product), instances)) {
        qWarning().noquote() << "farm:" << m_pFarm->error();
        return false;
    }
    m_idx = m_pFarm->indexes();
    m_pFarm->setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("0"));
    SimuSettings::setValue(QStringLiteral("common/startupTimeout"), 10); // 10 polls of 50 ms
    SimuSettings::setDaemonModel(0);
    SimuSettings::setPcNickName(QStringLiteral("机房一"));
    signIn(QStringLiteral("alice"));
    m_pResults = std::make_unique<ResultServer>();
    if (!m_pResults->listen()) {
        qWarning("result server cannot listen");
        return false;
    }
    RcvFileRspsorMgr::SetStallTimeoutMs(RcvFileRspsorMgr::kStallTimeoutMs);
    m_pLog = std::make_unique<OperLogCapture>(m_pFarm->homeDir() + QStringLiteral("/log"));
    m_pAgent = std::make_unique<AgentCommandServer>(m_pResults->agentOptions(options));
    return m_pAgent->start();
}

void TestCmdPathFaults::cleanup()
{
    m_pAgent.reset();
    m_pLog.reset();
    m_pResults.reset();
    m_pFarm.reset();
}

QByteArray TestCmdPathFaults::doc(int type, const QStringList& idxs, int iTime, int iExtra) const
{
    return ConsoleClient::makeDoc(
        ConsoleClient::makeOpers(type, idxs, iTime, iExtra, QStringLiteral("a.apk")),
        QStringLiteral("alice"));
}

bool TestCmdPathFaults::send(const QByteArray& document, const QByteArray& tail)
{
    ConsoleClient::Options opt;
    opt.pauseMs = tail.isEmpty() ? 0 : 100;
    return ConsoleClient::send(m_pAgent->port(), document, tail, opt);
}

struSimuRecord TestCmdPathFaults::stored(const QString& idx)
{
    struSimuRecord rec;
    rec.memuIdx = idx;
    SimuSettings::loadSimuRecord(idx, rec);
    return rec;
}

void TestCmdPathFaults::setState(const QString& idx, int state, int pid)
{
    SimuSettings::updateSimuRecord(idx, [&](struSimuRecord& rec) {
        rec.iState = state;
        rec.iPid = pid;
        rec.iTime = -1;
    });
}

static QByteArray rawDoc(const QJsonObject& members, int size)
{
    QJsonObject o = members;
    o.insert(QStringLiteral("size"), size);
    o.insert(QStringLiteral("usrName"), QStringLiteral("alice"));
    FarmTrust::sign(o, MsgAuth::eChannel::Command); // hostile in content, but from the owner's console
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

static QJsonObject recordObject(const QByteArray& oneRecordDoc)
{
    return QJsonDocument::fromJson(oneRecordDoc).object().value(QStringLiteral("0")).toObject();
}

// Members announced by "size" but absent, empty records and indexes this PC does not have run
// nothing and report nothing; the real records of the same documents run as usual.
void TestCmdPathFaults::hostileDocumentsRunOnlyTheirRealRecords()
{
    FARMSIM_OR_SKIP();
    QVERIFY(setUp(2));
    const QJsonObject start0 = recordObject(doc(eOperStartup, {index(0)}, 100));
    QVERIFY(send(rawDoc({{QStringLiteral("0"), start0}}, 3))); // two missing
    QVERIFY(send(rawDoc({{QStringLiteral("0"), QJsonObject()}, {QStringLiteral("1"), QJsonObject()}}, 2)));
    QVERIFY(send(rawDoc({{QStringLiteral("0"), QJsonObject()}}, 1)));             // a start of ""
    QVERIFY(send(doc(eOperStartup, {QStringLiteral("nosuch")}, 100)));            // unknown index
    QVERIFY(send(doc(eOperInstall, {QStringLiteral("nosuch")}, 100, 4), "APK!")); // ditto, install
    QVERIFY(AgentCommandServer::waitIdle(30000));
    QVERIFY(m_pResults->waitForReports(1, 10000));
    QTest::qWait(300); // a late report would arrive now
    QCOMPARE(m_pResults->reports().size(), 1);
    QCOMPARE(m_pResults->reports().first().oper.memuIdx, index(0));
    QCOMPARE(m_pResults->reports().first().oper.iReplyRet, 0);

    // "size" far beyond the cap holds one real close: that record runs, nothing else does.
    const QJsonObject close0 = recordObject(doc(eOperClose, {index(0)}, 200));
    QVERIFY(send(rawDoc({{QStringLiteral("0"), close0}}, 2147483647)));
    QVERIFY(m_pResults->waitForReports(2, 20000));
    QVERIFY(AgentCommandServer::waitIdle(30000));
    QCOMPARE(m_pResults->reports().size(), 2);
    QCOMPARE(m_pResults->reports().at(1).oper.iOperType, int(eOperClose));
    QCOMPARE(m_pResults->reports().at(1).oper.iReplyRet, 0);
    for (const QString& ghost : {QString(), QStringLiteral("nosuch")})
        QVERIFY(!SimuSettings::value(QStringLiteral("simu2/%1").arg(ghost)).isValid());
    QVERIFY(!m_pFarm->instanceStatus(index(1)).value(QStringLiteral("running")).toBool());
}

// An install fails in a stopped instance (adb does not list it): the instance stays stopped in the
// stored state, while a running one of the same command stays running.
void TestCmdPathFaults::failedInstallLeavesStoppedInstanceStopped()
{
    FARMSIM_OR_SKIP();
    QVERIFY(setUp(2));
    QVERIFY(m_pFarm->startInstance(index(0)));
    QVERIFY(m_pFarm->waitInstance(index(0), QStringLiteral("online"), true));
    setState(index(0), eStateRunning, m_pFarm->instanceStatus(index(0)).value("pid").toInt());
    setState(index(1), eStateNotStarted);
    const QByteArray apk(5000, 'A');
    QVERIFY(send(doc(eOperInstall, {index(0), index(1)}, 300, apk.size()), apk));
    QVERIFY(m_pResults->waitForReports(2, 20000));
    QCOMPARE(m_pResults->reports().at(0).oper.iReplyRet, 0);
    QVERIFY(m_pResults->reports().at(1).oper.iReplyRet != 0);
    QVERIFY(AgentCommandServer::waitIdle(10000));
    QCOMPARE(stored(index(0)).iState, int(eStateRunning));
    QCOMPARE(stored(index(1)).iState, int(eStateNotStarted));
    QVERIFY(!m_pFarm->instanceStatus(index(1)).value(QStringLiteral("running")).toBool());
}

// An APK that trickles in (one byte every 400 ms, so the per-read wait never runs out) holds up
// neither a start on another instance nor the command server; its receive ends at its deadline,
// and an install sent meanwhile runs after it, not inside it.
void TestCmdPathFaults::tricklingInstallHoldsUpNoOtherCommand()
{
    FARMSIM_OR_SKIP();
    constexpr int kBootMs = 1000;
    SimuTcpRcvObj::Options options;
    options.iInstallBaseMs = 3000;
    options.iInstallMinBytesPerSec = 1024 * 1024; // declared 1 MB: a deadline of 4 s
    QVERIFY(setUp(3, options));
    QVERIFY(m_pFarm->startInstance(index(0)));
    QVERIFY(m_pFarm->waitInstance(index(0), QStringLiteral("online"), true));
    setState(index(0), eStateRunning);
    setState(index(1), eStateNotStarted);
    QVERIFY(m_pFarm->setKnob(QStringLiteral("bootDelayMs"), QString::number(kBootMs)));
    SimuSettings::setValue(QStringLiteral("common/startupTimeout"), 200);

    QTcpSocket* pStalled = nullptr;
    ConsoleClient::Options keep;
    keep.keepOpen = true;
    QVERIFY(ConsoleClient::send(m_pAgent->port(), doc(eOperInstall, {index(0)}, 400, 1024 * 1024),
                                QByteArray(1024, 'x'), keep, &pStalled));
    std::unique_ptr<QTcpSocket> stalled(pStalled);
    QTimer trickle;
    connect(&trickle, &QTimer::timeout, stalled.get(), [&] { stalled->write("x", 1); });
    trickle.start(400);
    QTest::qWait(300); // the receive is under way

    const qint64 sentMs = m_pResults->nowMs();
    QVERIFY(send(doc(eOperStartup, {index(1)}, 500)));
    const QByteArray apk(3000, 'B');
    QVERIFY(send(doc(eOperInstall, {index(0)}, 600, apk.size()), apk));
    QVERIFY(m_pResults->waitForReports(1, kBootMs + 8000));
    const ConsoleReport start = m_pResults->reports().first();
    QCOMPARE(start.oper.memuIdx, index(1));
    QCOMPARE(start.oper.iReplyRet, 0);
    QVERIFY2(start.docMs - sentMs < kBootMs + 5000, qPrintable(QString::number(start.docMs - sentMs)));

    // The trickle is cut at its deadline, however long it would go on.
    QElapsedTimer cut;
    cut.start();
    QTRY_VERIFY_WITH_TIMEOUT(stalled->state() == QAbstractSocket::UnconnectedState, 10000);
    const qint64 cutMs = m_pResults->nowMs();
    trickle.stop();
    QVERIFY(m_pResults->waitForReports(2, 10000));
    const ConsoleReport second = m_pResults->reports().at(1);
    QCOMPARE(second.oper.iTime, 601);
    QCOMPARE(second.oper.iReplyRet, 0);
    QVERIFY2(second.docMs >= cutMs - 200, qPrintable(QStringLiteral("%1 %2").arg(second.docMs).arg(cutMs)));
    QVERIFY(AgentCommandServer::waitIdle(10000));
    QCOMPARE(stored(index(0)).iState, int(eStateRunning));
    QVERIFY(!QFile::exists(InstallRspsorMgr::ReceivedApkPath()));
}

// The product still lists the instance as running after its process was killed (farmsim's
// "unkillable"): the close fails, and the instance stays stored as running, as its product says.
void TestCmdPathFaults::closeContradictedByTheListingFails()
{
    FARMSIM_OR_SKIP();
    QVERIFY(setUp(1));
    QVERIFY(m_pFarm->startInstance(index(0)));
    QVERIFY(m_pFarm->waitInstance(index(0), QStringLiteral("online"), true));
    const int pid = m_pFarm->instanceStatus(index(0)).value("pid").toInt();
    setState(index(0), eStateRunning, pid);
    QVERIFY(m_pFarm->setKnob(QStringLiteral("unkillable"), QStringLiteral("true"), index(0)));
    QVERIFY(send(doc(eOperClose, {index(0)}, 700)));
    QVERIFY(m_pResults->waitForReports(1, 30000));
    QCOMPARE(m_pResults->reports().first().oper.iReplyRet, 59);
    QVERIFY(AgentCommandServer::waitIdle(10000));
    QCOMPARE(stored(index(0)).iState, int(eStateRunning));
    QVERIFY(m_pFarm->instanceStatus(index(0)).value(QStringLiteral("running")).toBool());
    QVERIFY(m_pLog->lines().contains(
        QStringLiteral("\"%1\"关闭失败")
            .arg(m_pFarm->instanceStatus(index(0)).value(QStringLiteral("name")).toString())));
}

QTEST_MAIN(TestCmdPathFaults)
#include "tst_cmdpath_faults.moc"
