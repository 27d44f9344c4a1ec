// The console's operations end to end: the menu dispatch and checks, the per-PC command client and
// the result server of the console drive the agent's real command server, which runs a simulated
// farm, for every operation of the menu and both products; and a start whose boot outlasts several
// watchdog passes of the agent.
#include "answeringdialogs.h"
#include "clientnetoperobj.h"
#include "consoleharness.h"
#include "farmfixture.h"
#include "grpdraweroper.h"
#include "jsoncodec.h"
#include "notifierrun.h"
#include "opercodes.h"
#include "opsdialogs.h"
#include "simudaemonobj.h"
#include "simuinfoxmlgainer.h"
#include "simusettings.h"
#include "taskresultrcver.h"

#include <QJsonArray>
#include <QtTest>

#include <memory>

namespace {

// What the console's device list knows of the agent PC: each emulator's state with its time (an
// older report never overwrites a newer one, -1 always applies), pictures, install states, results.
class ConsoleModel : public QObject
{
public:
    struct Row
    {
        QString name;
        int iState = -1;
        int iTime = -1;
        int images = 0;
        int installState = -1;
        QList<int> history; // every state shown
    };

    void setState(const QString& idx, int s, int t)
    {
        Row& r = rows[idx];
        if (t != -1 && t <= r.iTime)
            return;
        r.iState = s;
        r.iTime = t;
        r.history << s;
    }
    void connectTo(ClientNetOperObj* pClient, TaskResultRcver* pRcver)
    {
        connect(pClient, &ClientNetOperObj::sigNewSimuStateParamArrived, this, [this](QByteArray json) {
            QString pc, idx;
            int s = 0, t = 0, d = 0;
            JsonCodec::parseSimuState(json, pc, idx, s, t, d);
            setState(idx, s, t);
        });
        connect(pClient, &ClientNetOperObj::sigInstallProgress, this,
                [this](QString idx, int p) { progress[idx] << p; });
        connect(pClient, &ClientNetOperObj::sigNetOperReplyResult, this, [this](CCommResult* p) {
            shown << *p;
            delete p;
        });
        connect(pRcver, &TaskResultRcver::sigSetState, this,
                [this](QString, QString idx, int s, int t) { setState(idx, s, t); });
        connect(pRcver, &TaskResultRcver::sigTskRstRcverImageArrived, this,
                [this](QString, QString idx, QImage* p) {
                    if (p->size() == QSize(100, 150))
                        ++rows[idx].images;
                    delete p;
                });
        connect(pRcver, &TaskResultRcver::sigInstallState, this,
                [this](QString, QString idx, int s, int) { rows[idx].installState = s; });
        connect(pRcver, &TaskResultRcver::sigTaskResultReply, this, [this](CCommResult* p) {
            shown << *p;
            delete p;
        });
    }
    OpsDeviceSnapshot snapshot(int simuType, const QStringList& ticked) const
    {
        OpsPcEntry pc;
        pc.pcKey = QStringLiteral("agent-pc");
        pc.pcName = QStringLiteral("机房一");
        pc.iRunLimit = 10;
        pc.iSimuType = simuType;
        for (auto it = rows.begin(); it != rows.end(); ++it)
            pc.rows << OpsSimuRow{it.key(), it->name, it->iState, ticked.contains(it.key())};
        return {pc};
    }
    QMap<QString, Row> rows;
    QMap<QString, QList<int>> progress;
    QList<CCommResult> shown;
};

QString nameOf(const QString& idx)
{
    SimuInfo info;
    SimuInfoXmlGainer().GetSimuInfo(idx, info);
    return info.name();
}

} // namespace

class TstConsoleOpsFarm : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void everyMenuOperation_data();
    void everyMenuOperation();
    void startOutlastingWatchdogPasses();

private:
    bool setUp(FarmFixture::Product product, int instances);
    void pick(int index, const QStringList& ticked);
    void startWatchdog();

    std::unique_ptr<FarmFixture> m_pFarm;
    std::unique_ptr<AgentCommandServer> m_pAgent;
    std::unique_ptr<OperLogCapture> m_pLog;
    QThread m_rcverThread, m_clientThread, m_daemonThread;
    TaskResultRcver* m_pRcver = nullptr;
    ClientNetOperObj* m_pClient = nullptr;
    std::unique_ptr<ConsoleModel> m_pModel;
    AnsweringDialogs m_dialogs;
    int m_simuType = 0;
};

bool TstConsoleOpsFarm::setUp(FarmFixture::Product product, int instances)
{
    m_pFarm = std::make_unique<FarmFixture>();
    if (!m_pFarm->init(product, instances))
        return false;
    m_simuType = int(product);
    SimuSettings::setPcNickName(QStringLiteral("机房一"));
    SimuSettings::setDaemonModel(0);
    signIn(QStringLiteral("alice"));
    m_pLog = std::make_unique<OperLogCapture>(m_pFarm->homeDir() + QStringLiteral("/log"));

    m_pRcver = new TaskResultRcver(0);
    m_pRcver->moveToThread(&m_rcverThread);
    connect(&m_rcverThread, &QThread::started, m_pRcver, &TaskResultRcver::slInitSocket);
    connect(&m_rcverThread, &QThread::finished, m_pRcver, &QObject::deleteLater);
    QSignalSpy listening(m_pRcver, &TaskResultRcver::sigListening);
    m_rcverThread.start();
    // Waited for by its count: the signal may come from the new thread before a wait() would start.
    if (!QTest::qWaitFor([&listening] { return !listening.isEmpty(); }, 30000) ||
        listening.first().first().value<quint16>() == 0)
        return false;
    SimuTcpRcvObj::Options agentOptions;
    agentOptions.notifier.resultPort = listening.first().first().value<quint16>();
    m_pAgent = std::make_unique<AgentCommandServer>(agentOptions);
    if (!m_pAgent->start())
        return false;
    m_pClient = new ClientNetOperObj(QStringLiteral("agent-pc"), QStringLiteral("机房一"),
                                     QStringLiteral("127.0.0.1"), m_pAgent->port());
    m_pClient->moveToThread(&m_clientThread);
    connect(&m_clientThread, &QThread::finished, m_pClient, &QObject::deleteLater);
    m_clientThread.start();
    m_pModel = std::make_unique<ConsoleModel>();
    m_pModel->connectTo(m_pClient, m_pRcver);
    QVector<SimuInfo> infos;
    SimuInfoXmlGainer().GetSimusInfo(infos);
    for (const SimuInfo& i : infos)
        m_pModel->rows[i.idx()].name = i.name();
    return infos.size() == instances;
}

void TstConsoleOpsFarm::cleanup()
{
    for (QThread* t : {&m_clientThread, &m_daemonThread, &m_rcverThread}) {
        t->requestInterruption();
        t->quit();
        t->wait(30000);
    }
    m_pAgent.reset();
    m_pLog.reset();
    m_pModel.reset();
    m_pFarm.reset();
}

// The menu entry picked with these rows ticked, as the main window does it: the dispatch checks and
// hands each PC's share to its client, the argument queued just before the operation.
void TstConsoleOpsFarm::pick(int index, const QStringList& ticked)
{
    GroupOperDispatch::run(
        index, m_pModel->snapshot(m_simuType, ticked), m_dialogs, [this](const OpsPcSend& s) {
            QMetaObject::invokeMethod(m_pClient, "slSetOperArgument", Qt::QueuedConnection,
                                      Q_ARG(QString, s.strArg));
            QMetaObject::invokeMethod(m_pClient, "slOperateSimus", Qt::QueuedConnection,
                                      Q_ARG(int, s.iOperType), Q_ARG(QStringList, s.memuIdxs));
        });
}

#define FARM_OR_SKIP(product, n)                                                                             \
    do {                                                                                                     \
        FARMSIM_OR_SKIP();                                                                                   \
        QVERIFY(setUp(product, n));                                                                          \
    } while (0)

void TstConsoleOpsFarm::everyMenuOperation_data()
{
    QTest::addColumn<int>("product");
    QTest::addColumn<QStringList>("idxs");
    QTest::newRow("MEmu") << int(FarmFixture::MEmu) << QStringList{"MEmu", "MEmu_1", "MEmu_2"};
    QTest::newRow("LDPlayer") << int(FarmFixture::LdPlayer) << QStringList{"0", "1", "2"};
}

void TstConsoleOpsFarm::everyMenuOperation()
{
    QFETCH(int, product);
    QFETCH(QStringList, idxs);
    FARM_OR_SKIP(FarmFixture::Product(product), 3);
    QVERIFY(m_pFarm->setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("300")));
    auto& rows = m_pModel->rows;
    const QString a = idxs.at(0), b = idxs.at(1), c = idxs.at(2);

    // Start two: shown starting at once, then running with a thumbnail each.
    pick(eMenuStart, {a, b});
    QTRY_COMPARE_WITH_TIMEOUT(rows[a].history.value(0), int(eStateStarting), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(rows[a].iState == eStateRunning && rows[b].iState == eStateRunning, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(rows[a].images == 1 && rows[b].images == 1, 5000);
    QVERIFY(m_pFarm->instanceStatus(a).value("running").toBool());
    // Starting a running one is refused at the console.
    pick(eMenuStart, {a});
    QCOMPARE(m_dialogs.shown.last().str, QStringLiteral("\"机房一\"的%1已经打开了").arg(rows[a].name));

    // Install into both: progress, then the agent's results end the install.
    QTemporaryDir dir;
    m_dialogs.file = dir.filePath(QStringLiteral("游戏.apk"));
    QFile apk(m_dialogs.file);
    QVERIFY(apk.open(QIODevice::WriteOnly) && apk.write(QByteArray(300 * 1024, 'K')) > 0);
    apk.close();
    pick(eMenuInstall, {a, b});
    QTRY_VERIFY_WITH_TIMEOUT(rows[a].installState == 2 && rows[b].installState == 2, 30000);
    QCOMPARE(m_pModel->progress[a], (QList<int>{0, 24, 48, 72}));
    for (const QString& idx : {a, b}) {
        const QJsonArray installed = m_pFarm->instanceStatus(idx).value("installed").toArray();
        QCOMPARE(installed.size(), 1);
        QCOMPARE(installed.first().toObject().value("size").toInt(), 300 * 1024);
        QCOMPARE(rows[idx].iState, int(eStateRunning));
    }

    // Close one, once the clock is past the time of the install's report: an operation stamped with
    // that same second would not show its busy state over the report.
    QTRY_VERIFY_WITH_TIMEOUT(QDateTime::currentSecsSinceEpoch() > rows[b].iTime, 5000);
    pick(eMenuClose, {b});
    QTRY_COMPARE_WITH_TIMEOUT(rows[b].iState, int(eStateNotStarted), 30000);
    QVERIFY(rows[b].history.contains(eStateClosing));
    QVERIFY(m_pFarm->waitInstance(b, QStringLiteral("running"), false, 10000));

    // Rename: carried out on LDPlayer, refused at the console on MEmu (nothing sent).
    m_dialogs.text = QStringLiteral("新 名字");
    const int shownBefore = m_dialogs.shown.size();
    pick(eMenuRename, {c});
    if (product == FarmFixture::LdPlayer) {
        QTRY_COMPARE_WITH_TIMEOUT(m_pFarm->instanceStatus(c).value("name").toString(), m_dialogs.text, 20000);
        QCOMPARE(nameOf(c), m_dialogs.text);
    } else {
        QCOMPARE(m_dialogs.shown.size(), shownBefore + 1);
        QCOMPARE(m_dialogs.shown.last().iRet, OpsCode::RenameUnsupported);
    }

    // Delete the closed one: deleted, with time -1.
    pick(eMenuDelete, {b});
    QTRY_COMPARE_WITH_TIMEOUT(rows[b].iState, int(eStateDeleted), 30000);
    QCOMPARE(rows[b].iTime, -1);
    QVERIFY(!nameOf(b).isEmpty() || m_pFarm->instanceStatus(b).isEmpty());
    // Nothing failed on the way, and the console showed no delivery failure.
    QVERIFY(AgentCommandServer::waitIdle(20000));
    QCOMPARE(m_pModel->shown.size(), 0);
    QVERIFY(m_pLog->lines().contains(QStringLiteral("\"%1\"删除成功").arg(rows[b].name)));
}

void TstConsoleOpsFarm::startWatchdog()
{
    auto* pDaemon = new SimuDaemonObj;
    pDaemon->moveToThread(&m_daemonThread);
    connect(&m_daemonThread, &QThread::started, pDaemon, &SimuDaemonObj::InitDaemon);
    connect(&m_daemonThread, &QThread::finished, pDaemon, &QObject::deleteLater);
    m_daemonThread.start();
    QMetaObject::invokeMethod(pDaemon, &SimuDaemonObj::slStartupDaemonList, Qt::QueuedConnection);
}

// Emulators take 30-90 s to boot against a watchdog pass every 10 s; scaled down together: a 1 s
// pass and a 4.5 s boot. The console shows the emulator starting for the whole boot and running once
// it is up; the watchdog, in daemon mode, neither restarts nor kills the booting instance.
void TstConsoleOpsFarm::startOutlastingWatchdogPasses()
{
    constexpr int kBootMs = 4500;
    FARM_OR_SKIP(FarmFixture::LdPlayer, 2);
    QVERIFY(m_pFarm->setKnob(QStringLiteral("bootDelayMs"), QString::number(kBootMs)));
    SimuSettings::setValue(QStringLiteral("common/checkTimeSpan"), 1);
    SimuSettings::setValue(QStringLiteral("common/startupTimeout"), 6 * FarmFixture::kStartupPolls);
    SimuSettings::setDaemonModel(2);
    startWatchdog();
    QTest::qWait(1500); // the watchdog is into its passes

    QElapsedTimer clock;
    clock.start();
    pick(eMenuStart, {QStringLiteral("1")});
    auto& row = m_pModel->rows[QStringLiteral("1")];
    QTRY_COMPARE_WITH_TIMEOUT(row.iState, int(eStateStarting), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(m_pFarm->instanceStatus(QStringLiteral("1")).value("pid").toInt() > 0, 5000);
    const qint64 launchMs =
        m_pFarm->instanceStatus(QStringLiteral("1")).value("launchMs").toVariant().toLongLong();
    // Several watchdog passes go by while it boots.
    QTest::qWait(kBootMs - 1500);
    QCOMPARE(row.iState, int(eStateStarting));
    QTRY_COMPARE_WITH_TIMEOUT(row.iState, int(eStateRunning), 40000);
    QVERIFY2(clock.elapsed() >= kBootMs, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(row.history, (QList<int>{eStateStarting, eStateRunning}));
    QTRY_COMPARE_WITH_TIMEOUT(row.images, 1, 5000);
    // Launched once: no restart by the watchdog, and still running a few passes later.
    QTest::qWait(2500);
    QCOMPARE(m_pFarm->instanceStatus(QStringLiteral("1")).value("launchMs").toVariant().toLongLong(),
             launchMs);
    QVERIFY(m_pFarm->instanceStatus(QStringLiteral("1")).value("running").toBool());
    QVERIFY(m_pLog->lines().filter(QStringLiteral("异常关闭")).isEmpty());
    QCOMPARE(m_pModel->shown.size(), 0);
}

QTEST_MAIN(TstConsoleOpsFarm)
#include "tst_consoleops_farm.moc"
