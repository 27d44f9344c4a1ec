// The agent with emulators that boot for several watchdog periods, the settings' defaults scaled
// together (check period 2 s, polling step 0.5 s, start-up timeout 120 polls = 60 s, boot 6 s):
// the command server, the watchdog on its own thread and a simulated farm, for each product in
// normal and daemon mode. Side by side on different instances: a single start, start-close-start,
// and a group of five starts whose later instances wait, stopped but marked starting, while the
// watchdog passes over them. Each row is its own CTest test, so rows run in parallel.
#include "consoleharness.h"
#include "farmfixture.h"
#include "loginret.h"
#include "notifierrun.h"
#include "simudaemonobj.h"
#include "simusettings.h"
#include "simustatestore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {
constexpr int kBootMs = 6000;
constexpr int kCheckSpanS = 2;
constexpr int kSleepStepMs = 500;
constexpr int kStartupPolls = 120;
constexpr int kGroupSize = 5;
} // namespace

class TestRealTiming : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void farmBootsOverSeveralWatchdogPeriods_data();
    void farmBootsOverSeveralWatchdogPeriods();
    void startsBootSideBySide_data();
    void startsBootSideBySide();

private:
    // The farm, the settings scaled together, the command server and the watchdog on its thread.
    void startAgent(int product, int daemonModel, int instances);
    bool send(int type, const QStringList& idxs, int iTime);
    // The report of the command with time t for the instance, waiting for it (bounded).
    const ConsoleReport* waitReport(const QString& idx, int t, int timeoutMs);

    std::unique_ptr<XvfbServer> m_pXvfb;
    std::unique_ptr<FarmFixture> m_pFarm;
    std::unique_ptr<ResultServer> m_pResults;
    std::unique_ptr<OperLogCapture> m_pLog;
    std::unique_ptr<AgentCommandServer> m_pAgent;
    QThread* m_pDaemonThread = nullptr;
};

void TestRealTiming::cleanup()
{
    if (m_pDaemonThread) {
        m_pDaemonThread->requestInterruption();
        m_pDaemonThread->quit();
        m_pDaemonThread->wait(30000);
        delete m_pDaemonThread;
        m_pDaemonThread = nullptr;
    }
    m_pAgent.reset();
    m_pLog.reset();
    m_pResults.reset();
    m_pFarm.reset();
    LoginRecord::clear();
}

bool TestRealTiming::send(int type, const QStringList& idxs, int iTime)
{
    const auto opers = ConsoleClient::makeOpers(type, idxs, iTime);
    return ConsoleClient::send(m_pAgent->port(), ConsoleClient::makeDoc(opers, QStringLiteral("alice")));
}

const ConsoleReport* TestRealTiming::waitReport(const QString& idx, int t, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    do {
        for (const ConsoleReport& rep : m_pResults->reports()) {
            if (rep.oper.memuIdx == idx && rep.oper.iTime == t + 1)
                return &rep;
        }
        QTest::qWait(50);
    } while (!deadline.hasExpired());
    return nullptr;
}

void TestRealTiming::startAgent(int product, int daemonModel, int instances)
{
    FARMSIM_OR_SKIP();
    if (product == FarmFixture::MEmu && qEnvironmentVariableIsEmpty("DISPLAY")) {
        // The watchdog finds MEmu instances by their windows.
        m_pXvfb = std::make_unique<XvfbServer>();
        if (!m_pXvfb->start())
            QSKIP(qPrintable(QStringLiteral("no X server for the MEmu window probe: ") + m_pXvfb->error()));
    }
    m_pFarm = std::make_unique<FarmFixture>();
    QVERIFY2(m_pFarm->init(FarmFixture::Product(product), instances), qPrintable(m_pFarm->error()));
    const QStringList idx = m_pFarm->indexes();
    QVERIFY(m_pFarm->setKnob(QStringLiteral("bootDelayMs"), QString::number(kBootMs)));
    SimuSettings::setValue(QStringLiteral("tuning/sleepStepMs"), kSleepStepMs);
    SimuSettings::setValue(QStringLiteral("common/startupTimeout"), kStartupPolls);
    SimuSettings::setValue(QStringLiteral("common/checkTimeSpan"), kCheckSpanS);
    SimuSettings::setDaemonModel(daemonModel);
    SimuSettings::setRunLimit(10);
    SimuSettings::setPcNickName(QStringLiteral("机房一"));
    for (const QString& i : qAsConst(idx)) // as the start-up scan leaves them
        SimuSettings::updateSimuRecord(i, [](struSimuRecord& rec) {
            rec.iState = eStateNotStarted;
            rec.iTime = -1;
        });
    signIn(QStringLiteral("alice"));
    m_pResults = std::make_unique<ResultServer>();
    QVERIFY(m_pResults->listen());
    m_pLog = std::make_unique<OperLogCapture>(m_pFarm->homeDir() + QStringLiteral("/log"));
    m_pAgent = std::make_unique<AgentCommandServer>(m_pResults->agentOptions());
    QVERIFY(m_pAgent->start());

    m_pDaemonThread = new QThread;
    auto* pDaemon = new SimuDaemonObj;
    pDaemon->moveToThread(m_pDaemonThread);
    connect(m_pDaemonThread, &QThread::started, pDaemon, &SimuDaemonObj::InitDaemon);
    connect(m_pDaemonThread, &QThread::finished, pDaemon, &QObject::deleteLater);
    m_pDaemonThread->start();
    QMetaObject::invokeMethod(pDaemon, &SimuDaemonObj::slStartupDaemonList, Qt::QueuedConnection);
}

void TestRealTiming::farmBootsOverSeveralWatchdogPeriods_data()
{
    QTest::addColumn<int>("product");
    QTest::addColumn<int>("daemonModel");
    QTest::newRow("memu-normal") << int(FarmFixture::MEmu) << 0;
    QTest::newRow("memu-daemon") << int(FarmFixture::MEmu) << 2;
    QTest::newRow("ldplayer-normal") << int(FarmFixture::LdPlayer) << 0;
    QTest::newRow("ldplayer-daemon") << int(FarmFixture::LdPlayer) << 2;
}

void TestRealTiming::farmBootsOverSeveralWatchdogPeriods()
{
    QFETCH(int, product);
    QFETCH(int, daemonModel);
    startAgent(product, daemonModel, 2 + kGroupSize);
    if (QTest::currentTestFailed() || !m_pAgent)
        return;
    const QStringList idx = m_pFarm->indexes();

    // Side by side: a single start, a group of five, and start-close-start.
    const QString single = idx.at(0);
    const QString again = idx.at(1);
    const QStringList group = idx.mid(2, kGroupSize);
    QVERIFY(send(eOperStartup, {single}, 1000));
    QVERIFY(send(eOperStartup, group, 3000));
    QVERIFY(send(eOperStartup, {again}, 2000));
    const int perStartMs = kBootMs + 10000;
    const ConsoleReport* pRep = waitReport(again, 2000, perStartMs);
    QVERIFY2(pRep && pRep->oper.iReplyRet == 0, pRep ? qPrintable(pRep->oper.replyRet) : "no report");
    QVERIFY(send(eOperClose, {again}, 2100));
    pRep = waitReport(again, 2100, 20000);
    QVERIFY2(pRep && pRep->oper.iReplyRet == 0, pRep ? qPrintable(pRep->oper.replyRet) : "no report");
    QVERIFY(send(eOperStartup, {again}, 2200));

    const int expected = 1 + 3 + kGroupSize;
    QVERIFY2(m_pResults->waitForReports(expected, (kGroupSize + 1) * perStartMs),
             qPrintable(QString::number(m_pResults->reports().size())));
    QVERIFY(AgentCommandServer::waitIdle(20000));
    for (const ConsoleReport& rep : m_pResults->reports())
        QVERIFY2(rep.oper.iReplyRet == 0,
                 qPrintable(rep.oper.memuIdx + QLatin1Char(' ') + rep.oper.replyRet));
    QCOMPARE(m_pResults->reports().size(), expected);
    // The group's instances started one after another, the last after at least five boots.
    const ConsoleReport* pLast = waitReport(group.last(), 3000, 0);
    QVERIFY(pLast);
    QVERIFY(pLast->docMs >= kGroupSize * kBootMs);

    // Two more watchdog periods over the running instances.
    QTest::qWait(2 * kCheckSpanS * 1000 + 500);
    const auto checkStored = [&](const QString& i, int t) {
        struSimuRecord rec;
        rec.memuIdx = i;
        SimuSettings::loadSimuRecord(i, rec);
        const QJsonObject farm = m_pFarm->instanceStatus(i);
        return rec.iState == eStateRunning && rec.iTime == t + 4 && farm.value("running").toBool() &&
                       rec.iPid == farm.value("pid").toInt()
                   ? QString()
                   : QStringLiteral("%1: state %2 time %3 pid %4; farm %5")
                         .arg(i)
                         .arg(rec.iState)
                         .arg(rec.iTime)
                         .arg(rec.iPid)
                         .arg(QString::fromUtf8(QJsonDocument(farm).toJson(QJsonDocument::Compact)));
    };
    QCOMPARE(checkStored(single, 1000), QString());
    QCOMPARE(checkStored(again, 2200), QString());
    for (const QString& i : group)
        QCOMPARE(checkStored(i, 3000), QString());
    // The watchdog never took a booting or queued instance for lost, nor started one itself.
    const QStringList log = m_pLog->lines();
    for (const QString& line : log) {
        QVERIFY2(!line.contains(QStringLiteral("异常关闭")) && !line.contains(QStringLiteral("重新启动")) &&
                     !line.contains(QStringLiteral("检测到新模拟器")),
                 qPrintable(line));
    }
    QCOMPARE(SimuSettings::getDaemonList().size(), daemonModel == 2 ? kGroupSize + 2 : 0);
}

void TestRealTiming::startsBootSideBySide_data()
{
    QTest::addColumn<int>("product");
    QTest::addColumn<int>("parallel");
    QTest::addColumn<int>("runLimit");
    QTest::newRow("memu-1") << int(FarmFixture::MEmu) << 1 << 10;
    QTest::newRow("memu-4") << int(FarmFixture::MEmu) << 4 << 10;
    QTest::newRow("ldplayer-1") << int(FarmFixture::LdPlayer) << 1 << 10;
    QTest::newRow("ldplayer-4-limit3") << int(FarmFixture::LdPlayer) << 4 << 3;
}

// One start command of six instances that boot for several watchdog periods, daemon mode on: as
// many boot at once as common/parallelStarts says, never more than the run limit, each reported on
// its own as it comes up; the watchdog takes none of them for lost.
void TestRealTiming::startsBootSideBySide()
{
    QFETCH(int, product);
    QFETCH(int, parallel);
    QFETCH(int, runLimit);
    constexpr int kStarts = 6;
    startAgent(product, 2, kStarts);
    if (QTest::currentTestFailed() || !m_pAgent)
        return;
    SimuSettings::setRunLimit(runLimit);
    SimuSettings::setValue(QStringLiteral("common/parallelStarts"), parallel);
    const QStringList idx = m_pFarm->indexes();
    const qint64 sentMs = m_pResults->nowMs();
    QVERIFY(send(eOperStartup, idx, 5000));
    const int atOnce = qMin(parallel, runLimit);
    const int rounds = (kStarts + atOnce - 1) / atOnce;
    QVERIFY2(m_pResults->waitForReports(kStarts, (rounds + 1) * (kBootMs + 10000)),
             qPrintable(QString::number(m_pResults->reports().size())));
    QVERIFY(AgentCommandServer::waitIdle(20000));

    // Each instance reported once, successfully, as it came up.
    QSet<QString> reported;
    for (const ConsoleReport& rep : m_pResults->reports()) {
        QVERIFY2(rep.oper.iReplyRet == 0,
                 qPrintable(rep.oper.memuIdx + QLatin1Char(' ') + rep.oper.replyRet));
        reported.insert(rep.oper.memuIdx);
    }
    QCOMPARE(reported.size(), kStarts);
    // The farm's launch times: never more than atOnce within one boot, and as many as that at first.
    QList<qint64> launches;
    for (const QString& i : idx)
        launches.append(
            m_pFarm->instanceStatus(i).value(QStringLiteral("launchMs")).toVariant().toLongLong());
    std::sort(launches.begin(), launches.end());
    int most = 0;
    for (int a = 0; a < launches.size(); ++a) {
        int within = 0;
        for (int b = a; b < launches.size() && launches.at(b) - launches.at(a) < kBootMs - 500; ++b)
            ++within;
        most = qMax(most, within);
    }
    QCOMPARE(most, atOnce);
    const qint64 tookMs = m_pResults->reports().last().docMs - sentMs;
    QVERIFY2(tookMs >= rounds * kBootMs, qPrintable(QString::number(tookMs)));
    if (atOnce > 1)
        QVERIFY2(tookMs < (rounds + 2) * kBootMs, qPrintable(QString::number(tookMs)));
    for (const QString& line : m_pLog->lines())
        QVERIFY2(!line.contains(QStringLiteral("异常关闭")) && !line.contains(QStringLiteral("重新启动")),
                 qPrintable(line));
    for (const QString& i : idx)
        QCOMPARE(SimuStateStore::instance().record(i).iState, int(eStateRunning));
}

QTEST_MAIN(TestRealTiming)
#include "tst_realtiming.moc"
