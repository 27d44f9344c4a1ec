// The whole system on a simulated LAN of network namespaces (lanns.sh): the console host runs the
// account service and the real ToviaSim; host A runs ToviaSimClient on a simulated LDPlayer farm,
// host B on a simulated MEmu farm, both of the console's user. The emulators boot for longer than
// two periods of the agents' watchdog. The console is operated through its test driver (a local
// socket), which calls the same slots as the window's widgets; what the window shows is read back
// through the driver's dump, what the farms did through "farmsim status", and where a click of the
// remote-desktop viewer landed from the pointer of agent A's X display.
//
// The test functions run in order and build on each other.
#include "consoledriver.h"
#include "farmfixture.h"
#include "lanagent.h"
#include "lannet.h"
#include "simurecords.h"
#include "simusettings.h"
#include "xdesk.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>
#include <unistd.h>

namespace {

const QString kUser = QStringLiteral("e2euser");
const QString kPassword = QStringLiteral("pw-e2e-1");
const QString kConsoleIp = QStringLiteral("10.77.0.1");
const QString kPcA = QStringLiteral("tovia-pc-a");
const QString kPcB = QStringLiteral("tovia-pc-b");
// MEmu names its instances by folder: the first is "MEmu", the next ones "MEmu_<n>".
const QString kB0 = QStringLiteral("MEmu");
const QString kB1 = QStringLiteral("MEmu_1");
constexpr quint16 kAccountPort = 8750;
constexpr int kInstancesA = 3;
constexpr int kInstancesB = 2;
constexpr int kWatchdogSecs = 2; // the agents' common/checkTimeSpan
constexpr int kBootMs = 6000;    // farm boot: three watchdog periods
constexpr int kListedMs = 40000; // console sign-in and agent start-up
constexpr int kOperationMs = 40000;
constexpr int kDriverMs = 10000; // one driver command answered
constexpr qint64 kApkBytes = 20 * 1024 * 1024;

} // namespace

class TstConsoleE2E : public QObject
{
    Q_OBJECT
public:
    ~TstConsoleE2E() override { teardown(); }

private slots:
    void initTestCase();
    void cleanupTestCase() { teardown(); }
    void discoveryListsBothPcs();
    void startOutlastsTheWatchdog();
    void installToBothPcsAtOnce();
    void closeDeleteRename();
    void createOnBothProducts();
    void remoteDesktopClickLands();
    void groupControlOfRunningEmulators();
    void agentOfflineAndBack();
    void groupsLastAcrossAConsoleRestart();

private:
    bool startAccountService(QString& error);
    bool prepareAgent(FarmFixture& farm, LanHostProgram& agent, FarmFixture::Product product, int instances,
                      const QString& host, QString& error);
    bool connectDriver(QString& error);
    QJsonObject call(const QString& line) { return m_driver.call(line, kDriverMs); }
    // Dumps until `done` holds, bounded; returns the last dump (with the programs' logs if not).
    QJsonObject waitDump(int timeoutMs, const std::function<bool(const QJsonObject&)>& done);
    void dumpLogs() const;
    void teardown();

    QString m_prefix;
    bool m_lanUp = false;
    QTemporaryDir m_scratch;
    XDesk m_desk;
    std::unique_ptr<QProcess> m_pAccountSvc;
    FarmFixture m_farmA;
    FarmFixture m_farmB;
    LanHostProgram m_agentA;
    LanHostProgram m_agentB;
    LanHostProgram m_console;
    QString m_driverPath;
    ConsoleDriverClient m_driver;
};

void TstConsoleE2E::initTestCase()
{
    QString why = lanSkipReason({QStringLiteral("ip"), QStringLiteral("unshare"), QStringLiteral("ffmpeg")},
                                {QStringLiteral("ToviaSim"), QStringLiteral("ToviaSimClient"),
                                 QStringLiteral("ToviaMpeg.exe"), QStringLiteral("farmsim"),
                                 QStringLiteral("ToviaAccountSvc")});
    // Agent A's desktop: an X display of this test's own, inherited by the agent started later.
    if (!why.isEmpty() || !m_desk.open(why))
        QSKIP(qPrintable(why));
    QVERIFY(m_scratch.isValid());
    LAN_UP_OR_SKIP(QStringLiteral("tvsys"), m_prefix, m_lanUp);

    QString error;
    QVERIFY2(startAccountService(error), qPrintable(error));
    QVERIFY2(prepareAgent(m_farmA, m_agentA, FarmFixture::LdPlayer, kInstancesA, QStringLiteral("-a"), error),
             qPrintable(error));
    QVERIFY2(prepareAgent(m_farmB, m_agentB, FarmFixture::MEmu, kInstancesB, QStringLiteral("-b"), error),
             qPrintable(error));

    m_console.ns = m_prefix + QStringLiteral("-con");
    m_console.keepDisplay = true;
    m_console.home = m_scratch.filePath(QStringLiteral("console/home"));
    QVERIFY(QDir().mkpath(m_console.home));
    QVERIFY(copyProgram(QStringLiteral("ToviaSim"), m_scratch.filePath(QStringLiteral("console/app")),
                        &m_console.program));
    SimuSettings::setDataDir(m_console.home);
    SimuSettings::setValue(QStringLiteral("account/url"),
                           QStringLiteral("http://%1:%2").arg(kConsoleIp).arg(kAccountPort));
    SimuSettings::setDataDir(m_scratch.path());
    m_driverPath = m_scratch.filePath(QStringLiteral("driver.sock"));
    m_console.args = QStringList{QStringLiteral("--remember-login"), kUser, kPassword,
                                 QStringLiteral("--test-driver"), m_driverPath};
    QVERIFY2(m_console.start(error), qPrintable(error));
    const bool connected = connectDriver(error);
    if (!connected)
        dumpLogs();
    QVERIFY2(connected, qPrintable(error));
}

bool TstConsoleE2E::startAccountService(QString& error)
{
    m_pAccountSvc = startLanAccountService(m_prefix, m_scratch.path(), {kUser}, kPassword, kConsoleIp,
                                           kAccountPort, error);
    return m_pAccountSvc != nullptr;
}

// The watchdog looks every two seconds; the farm's emulators boot for six, the agent's start waits
// up to 20 s for them.
bool TstConsoleE2E::prepareAgent(FarmFixture& farm, LanHostProgram& agent, FarmFixture::Product product,
                                 int instances, const QString& host, QString& error)
{
    LanAgentOptions o(m_prefix + host, kUser, kPassword, kConsoleIp, kAccountPort);
    o.product = product;
    o.instances = instances;
    o.knobs = {{QStringLiteral("bootDelayMs"), QString::number(kBootMs)}};
    o.nick = QStringLiteral("机房") + host.right(1).toUpper();
    o.periods = {kWatchdogSecs, 2, 400};
    o.runLimit = 4;
    // The test's display: agent A's desktop, and where the farms' emulator windows open (the agents
    // find MEmu instances by their windows).
    o.keepDisplay = true;
    o.companions = QStringList{QStringLiteral("ToviaMpeg.exe")};
    return prepareLanAgent(farm, agent, o, error);
}

bool TstConsoleE2E::connectDriver(QString& error)
{
    return m_driver.connect(
        m_driverPath, kListedMs, [this] { return m_console.running(); }, error);
}

QJsonObject TstConsoleE2E::waitDump(int timeoutMs, const std::function<bool(const QJsonObject&)>& done)
{
    const QJsonObject dump = m_driver.waitDump(timeoutMs, done);
    if (!done(dump))
        dumpLogs();
    return dump;
}

void TstConsoleE2E::dumpLogs() const
{
    for (const LanHostProgram* p : {&m_console, &m_agentA, &m_agentB})
        qInfo().noquote() << "----" << p->program << ":\n" << p->logTail(25);
}

void TstConsoleE2E::teardown()
{
    m_driver.abort();
    for (LanHostProgram* p : {&m_console, &m_agentA, &m_agentB})
        p->kill();
    if (m_pAccountSvc) {
        m_pAccountSvc->kill();
        m_pAccountSvc->waitForFinished(3000);
        m_pAccountSvc.reset();
    }
    m_farmA.killFarmProcesses();
    m_farmB.killFarmProcesses();
    if (m_lanUp) {
        const ToolRun down = lanns({QStringLiteral("down"), m_prefix});
        if (down.exitCode != 0)
            qWarning().noquote() << "LAN tear-down:" << down.output;
        m_lanUp = false;
    }
}

// Both PCs listed online with their farms' emulators, by name.
void TstConsoleE2E::discoveryListsBothPcs()
{
    const QJsonObject dump = waitDump(kListedMs, [](const QJsonObject& d) {
        return pcOf(d, kPcA).value(QStringLiteral("rows")).toArray().size() == kInstancesA &&
               pcOf(d, kPcB).value(QStringLiteral("rows")).toArray().size() == kInstancesB;
    });
    for (const auto& [pc, farm] : {std::make_pair(kPcA, &m_farmA), std::make_pair(kPcB, &m_farmB)}) {
        const QJsonObject entry = pcOf(dump, pc);
        QCOMPARE(entry.value(QStringLiteral("online")).toString(), QStringLiteral("在线"));
        const QJsonArray instances = farm->status().value(QStringLiteral("instances")).toArray();
        QCOMPARE(entry.value(QStringLiteral("rows")).toArray().size(), instances.size());
        for (const QJsonValue& inst : instances) {
            const QString idx = inst.toObject().value(QStringLiteral("index")).toString();
            QCOMPARE(rowOf(dump, pc, idx).value(QStringLiteral("name")).toString(),
                     inst.toObject().value(QStringLiteral("name")).toString());
        }
    }
    QCOMPARE(pcOf(dump, kPcA).value(QStringLiteral("nick")).toString(), QStringLiteral("机房A"));
    QCOMPARE(pcOf(dump, kPcB).value(QStringLiteral("simuType")).toInt(), int(FarmFixture::MEmu));
}

// Emulators on both PCs started together: they boot for three watchdog periods, the watchdog leaves
// them alone (launched once, never shown closed on the way), and they end running, with thumbnails.
void TstConsoleE2E::startOutlastsTheWatchdog()
{
    DRIVER_OK(m_driver, QStringLiteral("tick %1 0 1").arg(kPcA));
    DRIVER_OK(m_driver, QStringLiteral("tick %1 %2").arg(kPcB, kB0));
    const qint64 sentMs = QDateTime::currentMSecsSinceEpoch();
    QElapsedTimer clock;
    clock.start();
    DRIVER_OK(m_driver, QStringLiteral("menu 0"));
    const QList<QPair<QString, QString>> started{{kPcA, "0"}, {kPcA, "1"}, {kPcB, kB0}};
    QSet<QString> seenStarting;
    QStringList fellBack;
    const QJsonObject dump = waitDump(kOperationMs, [&](const QJsonObject& d) {
        bool all = true;
        for (const auto& [pc, idx] : started) {
            const int s = stateOf(d, pc, idx);
            if (s == eStateStarting)
                seenStarting.insert(pc + idx);
            else if (s == eStateNotStarted && seenStarting.contains(pc + idx))
                fellBack << pc + QLatin1Char('/') + idx;
            all = all && s == eStateRunning;
        }
        return all;
    });
    for (const auto& [pc, idx] : started)
        QCOMPARE(stateOf(dump, pc, idx), int(eStateRunning));
    QVERIFY2(fellBack.isEmpty(),
             qPrintable(QStringLiteral("shown closed while booting: ") + fellBack.join(' ')));
    QVERIFY2(clock.elapsed() >= kBootMs - 1000, "the farm's boot time was not waited for");
    QCOMPARE(seenStarting.size(), started.size());
    for (const auto& [farm, idx] :
         {std::make_pair(&m_farmA, QStringLiteral("0")), std::make_pair(&m_farmB, kB0)}) {
        const QJsonObject inst = farm->instanceStatus(idx);
        QVERIFY(inst.value(QStringLiteral("running")).toBool());
        const qint64 launched = inst.value(QStringLiteral("launchMs")).toVariant().toLongLong();
        QVERIFY2(launched >= sentMs - 1000 && launched < sentMs + kBootMs,
                 qPrintable(QStringLiteral("launched %1 ms after the menu: started again while it booted")
                                .arg(launched - sentMs)));
    }
    QVERIFY(!m_farmA.instanceStatus(QStringLiteral("2")).value(QStringLiteral("running")).toBool());
    QCOMPARE(stateOf(dump, kPcA, "2"), int(eStateNotStarted));

    const QJsonObject shots = waitDump(kOperationMs, [&](const QJsonObject& d) {
        for (const auto& [pc, idx] : started) {
            if (!rowOf(d, pc, idx).value(QStringLiteral("screenshot")).toBool())
                return false;
        }
        return true;
    });
    for (const auto& [pc, idx] : started)
        QVERIFY2(rowOf(shots, pc, idx).value(QStringLiteral("screenshot")).toBool(), qPrintable(pc + idx));
    QVERIFY(!rowOf(shots, kPcA, "2").value(QStringLiteral("screenshot")).toBool());
}

// One 20 MB APK to emulators of both PCs from one menu entry.
void TstConsoleE2E::installToBothPcsAtOnce()
{
    const QString apk = m_scratch.filePath(QStringLiteral("大游戏.apk"));
    QFile f(apk);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QByteArray block(1024 * 1024, '\0');
    for (int i = 0; i < kApkBytes / block.size(); ++i) {
        block.fill(char('A' + i % 26));
        QVERIFY(f.write(block) == block.size());
    }
    f.close();
    DRIVER_OK(m_driver, QStringLiteral("answer file ") + apk);
    DRIVER_OK(m_driver, QStringLiteral("tick %1 0 1").arg(kPcA));
    DRIVER_OK(m_driver, QStringLiteral("tick %1 %2").arg(kPcB, kB0));
    DRIVER_OK(m_driver, QStringLiteral("menu 2"));
    auto installed = [](FarmFixture& farm, const QString& idx) {
        return farm.instanceStatus(idx).value(QStringLiteral("installed")).toArray().size();
    };
    QDeadlineTimer deadline(kOperationMs);
    while (!deadline.hasExpired() &&
           (installed(m_farmA, "0") < 1 || installed(m_farmA, "1") < 1 || installed(m_farmB, kB0) < 1))
        QTest::qWait(250);
    QCOMPARE(installed(m_farmA, "0"), 1);
    QCOMPARE(installed(m_farmA, "1"), 1);
    QCOMPARE(installed(m_farmB, kB0), 1);
    QCOMPARE(installed(m_farmA, "2"), 0);
    const QJsonObject dump = waitDump(kOperationMs, [](const QJsonObject& d) {
        return stateOf(d, kPcA, "0") == eStateRunning && stateOf(d, kPcA, "1") == eStateRunning &&
               stateOf(d, kPcB, kB0) == eStateRunning;
    });
    QCOMPARE(stateOf(dump, kPcB, kB0), int(eStateRunning));
    QCOMPARE(rowOf(dump, kPcA, "0").value(QStringLiteral("progress")).toInt(), -1);
}

// Close, then delete the closed one (after the confirmation); rename on LDPlayer; MEmu's rename is
// refused by the console with code 71 and nothing reaches its farm.
void TstConsoleE2E::closeDeleteRename()
{
    DRIVER_OK(m_driver, QStringLiteral("tick %1 1").arg(kPcA));
    DRIVER_OK(m_driver, QStringLiteral("menu 1"));
    QJsonObject dump = waitDump(
        kOperationMs, [](const QJsonObject& d) { return stateOf(d, kPcA, "1") == eStateNotStarted; });
    QCOMPARE(stateOf(dump, kPcA, "1"), int(eStateNotStarted));
    QVERIFY(!m_farmA.instanceStatus(QStringLiteral("1")).value(QStringLiteral("running")).toBool());

    DRIVER_OK(m_driver, QStringLiteral("answer confirm"));
    DRIVER_OK(m_driver, QStringLiteral("tick %1 1").arg(kPcA));
    DRIVER_OK(m_driver, QStringLiteral("menu 3"));
    dump = waitDump(kOperationMs, [](const QJsonObject& d) {
        return stateOf(d, kPcA, "1") == eStateDeleted || rowOf(d, kPcA, "1").isEmpty();
    });
    QVERIFY2(stateOf(dump, kPcA, "1") == eStateDeleted || rowOf(dump, kPcA, "1").isEmpty(),
             "the deleted emulator is still shown");
    QVERIFY(m_farmA.instanceStatus(QStringLiteral("1")).isEmpty());

    const QString newName = QStringLiteral("改名 一号");
    DRIVER_OK(m_driver, QStringLiteral("answer name ") + newName);
    DRIVER_OK(m_driver, QStringLiteral("tick %1 2").arg(kPcA));
    DRIVER_OK(m_driver, QStringLiteral("menu 4"));
    dump = waitDump(kOperationMs, [&](const QJsonObject& d) {
        return rowOf(d, kPcA, "2").value(QStringLiteral("name")).toString() == newName;
    });
    QCOMPARE(m_farmA.instanceStatus(QStringLiteral("2")).value(QStringLiteral("name")).toString(), newName);
    QCOMPARE(rowOf(dump, kPcA, "2").value(QStringLiteral("name")).toString(), newName);

    const QString memuName = m_farmB.instanceStatus(kB1).value(QStringLiteral("name")).toString();
    const int shownBefore = dump.value(QStringLiteral("results")).toArray().size();
    DRIVER_OK(m_driver, QStringLiteral("answer name 不行"));
    DRIVER_OK(m_driver, QStringLiteral("tick %1 %2").arg(kPcB, kB1));
    DRIVER_OK(m_driver, QStringLiteral("menu 4"));
    const QJsonArray results = call(QStringLiteral("dump")).value(QStringLiteral("results")).toArray();
    QCOMPARE(results.size(), shownBefore + 1);
    QCOMPARE(results.last().toObject().value(QStringLiteral("text")).toString(),
             QStringLiteral("暂不支持逍遥模拟器的重命名"));
    QTest::qWait(1000);
    QCOMPARE(m_farmB.instanceStatus(kB1).value(QStringLiteral("name")).toString(), memuName);
}

// "新建模拟器" on each PC's title row: the count asked is bounded by the room the agent leaves, the
// farms of both products get the emulators, each create's result is shown, and the new emulators
// are listed.
void TstConsoleE2E::createOnBothProducts()
{
    const auto instances = [](FarmFixture& farm) {
        return farm.status().value(QStringLiteral("instances")).toArray().size();
    };
    const int shownBefore = call(QStringLiteral("dump")).value(QStringLiteral("results")).toArray().size();
    int expectedResults = shownBefore;
    struct Create
    {
        QString pc;
        FarmFixture* farm;
        int count;
    };
    for (const Create& c : {Create{kPcA, &m_farmA, 2}, Create{kPcB, &m_farmB, 1}}) {
        const QString pc = c.pc;
        FarmFixture* farm = c.farm;
        const int count = c.count;
        const int before = instances(*farm);
        const int listed =
            pcOf(call(QStringLiteral("dump")), pc).value(QStringLiteral("rows")).toArray().size();
        const QJsonObject asked = call(QStringLiteral("pcmenu %1 新建模拟器").arg(pc));
        const QJsonObject dialog = asked.value(QStringLiteral("dialog")).toObject();
        QCOMPARE(dialog.value(QStringLiteral("kind")).toString(), QStringLiteral("number"));
        QCOMPARE(dialog.value(QStringLiteral("maximum")).toInt(), kMaxSimusPerPc - listed);
        DRIVER_OK(m_driver, QStringLiteral("answer number %1").arg(count));
        expectedResults += count;
        QDeadlineTimer deadline(kOperationMs);
        while (!deadline.hasExpired() && instances(*farm) < before + count)
            QTest::qWait(250);
        QCOMPARE(instances(*farm), before + count);
        const QJsonObject dump = waitDump(kOperationMs, [&](const QJsonObject& d) {
            return pcOf(d, pc).value(QStringLiteral("rows")).toArray().size() == before + count;
        });
        QCOMPARE(pcOf(dump, pc).value(QStringLiteral("rows")).toArray().size(), before + count);
    }
    const QJsonObject dump = waitDump(kOperationMs, [&](const QJsonObject& d) {
        return d.value(QStringLiteral("results")).toArray().size() >= expectedResults;
    });
    const QJsonArray results = dump.value(QStringLiteral("results")).toArray();
    QCOMPARE(results.size(), expectedResults);
    QStringList texts;
    for (int i = shownBefore; i < results.size(); ++i)
        texts << results.at(i).toObject().value(QStringLiteral("text")).toString();
    QCOMPARE(texts.count(QStringLiteral("机房A创建模拟器成功\r\n")), 2);
    QCOMPARE(texts.count(QStringLiteral("机房B创建模拟器成功\r\n")), 1);
    // The result boxes are closed as a user does, one after another.
    for (int i = 0; i < 10; ++i) {
        const QJsonObject d = m_driver.waitDump(
            3000, [](const QJsonObject& o) { return o.contains(QStringLiteral("dialog")); });
        if (!d.contains(QStringLiteral("dialog")))
            break;
        DRIVER_OK(m_driver, QStringLiteral("answer confirm"));
    }
    QVERIFY(!call(QStringLiteral("dump")).contains(QStringLiteral("dialog")));
}

// A double click on a tile of A opens the viewer; pictures of A's X display arrive; a click in the
// viewer moves A's pointer to the pixel under it and clicks there; a second double click raises the
// same viewer; closing it lets the drawer go of it.
void TstConsoleE2E::remoteDesktopClickLands()
{
    m_desk.raise();
    m_desk.clear();
    DRIVER_OK(m_driver, QStringLiteral("rdp %1").arg(kPcA));
    const QSize screen = m_desk.screenSize();
    QJsonObject dump = waitDump(kOperationMs, [&](const QJsonObject& d) {
        const QJsonObject v = d.value(QStringLiteral("viewer")).toObject();
        return v.value(QStringLiteral("pictureWidth")).toInt() == screen.width();
    });
    const QJsonObject viewer = dump.value(QStringLiteral("viewer")).toObject();
    QCOMPARE(viewer.value(QStringLiteral("addr")).toString(), QStringLiteral("10.77.0.2"));
    QCOMPARE(viewer.value(QStringLiteral("pictureHeight")).toInt(), screen.height());
    const int port = viewer.value(QStringLiteral("port")).toInt();
    DRIVER_OK(m_driver, QStringLiteral("rdp %1").arg(kPcA));
    QCOMPARE(call(QStringLiteral("dump")).value(QStringLiteral("viewer")).toObject().value("port").toInt(),
             port);

    // The control connection follows the first picture: a click before it is lost, so it is repeated.
    const int x = viewer.value(QStringLiteral("width")).toInt() / 3;
    const int y = viewer.value(QStringLiteral("height")).toInt() / 2;
    QPoint agent;
    bool landed = false;
    for (int attempt = 0; attempt < 5 && !landed; ++attempt) {
        const QJsonObject r = call(QStringLiteral("click %1 %2").arg(x).arg(y));
        QVERIFY2(r.value(QStringLiteral("ok")).toBool(),
                 qPrintable(r.value(QStringLiteral("error")).toString()));
        agent = QPoint(r.value(QStringLiteral("agentX")).toInt(), r.value(QStringLiteral("agentY")).toInt());
        landed = m_desk.waitButtons(2, 3000);
    }
    QVERIFY2(landed, "the click did not reach agent A's display");
    QVERIFY(agent.x() > 0 && agent.x() < screen.width() && agent.y() > 0 && agent.y() < screen.height());
    QCOMPARE(m_desk.buttons().first().root, agent);
    QCOMPARE(m_desk.pointer(), agent);

    DRIVER_OK(m_driver, QStringLiteral("closerdp"));
    dump = waitDump(5000, [](const QJsonObject& d) { return !d.contains(QStringLiteral("viewer")); });
    QVERIFY(!dump.contains(QStringLiteral("viewer")));
}

// "群控" over the running emulators of both PCs in the program itself: its window lists them and shows
// the lead's live screen; closing it, confirmed, ends it.
void TstConsoleE2E::groupControlOfRunningEmulators()
{
    const QJsonObject before = call(QStringLiteral("dump"));
    int ticked = 0;
    for (const QString& pc : {kPcA, kPcB}) {
        QStringList running;
        for (const QJsonValue& r : pcOf(before, pc).value(QStringLiteral("rows")).toArray()) {
            if (r.toObject().value(QStringLiteral("state")).toInt() == eStateRunning)
                running << r.toObject().value(QStringLiteral("idx")).toString();
        }
        if (running.isEmpty())
            continue;
        DRIVER_OK(m_driver, QStringLiteral("tick %1 %2").arg(pc, running.join(QLatin1Char(' '))));
        ticked += running.size();
    }
    if (ticked == 0)
        QSKIP("no emulator runs at this point");
    DRIVER_OK(m_driver, QStringLiteral("menu 5"));
    QJsonObject dump = waitDump(kOperationMs, [](const QJsonObject& d) {
        return d.value(QStringLiteral("groupControl"))
                   .toObject()
                   .value(QStringLiteral("pictureWidth"))
                   .toInt() > 0;
    });
    const QJsonObject group = dump.value(QStringLiteral("groupControl")).toObject();
    QCOMPARE(group.value(QStringLiteral("title")).toString(), QStringLiteral("群控"));
    QCOMPARE(group.value(QStringLiteral("members")).toArray().size(), ticked);
    QVERIFY(group.value(QStringLiteral("pictureWidth")).toInt() > 0);
    DRIVER_OK(m_driver, QStringLiteral("answer confirm")); // the close question, answered ahead
    DRIVER_OK(m_driver, QStringLiteral("closegroup"));
    dump = waitDump(10000, [](const QJsonObject& d) { return !d.contains(QStringLiteral("groupControl")); });
    QVERIFY(!dump.contains(QStringLiteral("groupControl")));
}

// B killed: marked offline after about ten seconds of silence, not at once; back online once it
// runs again.
void TstConsoleE2E::agentOfflineAndBack()
{
    QElapsedTimer sinceKill;
    m_agentB.kill();
    sinceKill.start();
    QJsonObject dump = waitDump(15000, [](const QJsonObject& d) {
        return pcOf(d, kPcB).value(QStringLiteral("online")).toString() == QStringLiteral("离线");
    });
    const qint64 offlineAfter = sinceKill.elapsed();
    QCOMPARE(pcOf(dump, kPcB).value(QStringLiteral("online")).toString(), QStringLiteral("离线"));
    // Told from stopped at a glance: greyed rows, the offline picture on the tiles, the last hearing
    // in the row's tip.
    const QJsonObject offlinePc = pcOf(dump, kPcB);
    QVERIFY(offlinePc.value(QStringLiteral("shownOffline")).toBool());
    QVERIFY2(offlinePc.value(QStringLiteral("tip"))
                 .toString()
                 .contains(QStringLiteral("离线，最后一次收到回复：")),
             qPrintable(offlinePc.value(QStringLiteral("tip")).toString()));
    for (const QJsonValue& r : offlinePc.value(QStringLiteral("rows")).toArray()) {
        QVERIFY(r.toObject().value(QStringLiteral("greyed")).toBool());
        QVERIFY(r.toObject().value(QStringLiteral("tileOffline")).toBool());
        QCOMPARE(r.toObject().value(QStringLiteral("state")).toInt(), int(eStateNotStarted));
    }
    QVERIFY(!rowOf(dump, kPcA, "0").value(QStringLiteral("tileOffline")).toBool());
    QVERIFY2(offlineAfter >= 6000 && offlineAfter <= 12000,
             qPrintable(QStringLiteral("marked offline %1 ms after the kill").arg(offlineAfter)));
    QCOMPARE(pcOf(dump, kPcA).value(QStringLiteral("online")).toString(), QStringLiteral("在线"));

    QString error;
    QVERIFY2(m_agentB.start(error), qPrintable(error));
    dump = waitDump(kListedMs, [](const QJsonObject& d) {
        return pcOf(d, kPcB).value(QStringLiteral("online")).toString() == QStringLiteral("在线");
    });
    QCOMPARE(pcOf(dump, kPcB).value(QStringLiteral("online")).toString(), QStringLiteral("在线"));
    QCOMPARE(pcOf(dump, kPcB).value(QStringLiteral("rows")).toArray().size(),
             m_farmB.status().value(QStringLiteral("instances")).toArray().size());
    QVERIFY(!pcOf(dump, kPcB).value(QStringLiteral("shownOffline")).toBool());
    QVERIFY(!rowOf(dump, kPcB, kB0).value(QStringLiteral("tileOffline")).toBool());
    QVERIFY(!rowOf(dump, kPcB, kB0).value(QStringLiteral("greyed")).toBool());
}

// Groups made from the title rows' menus: B in a new group, A in another that is then deleted (A back
// in the default group). The console is killed and started again: the list shows the same groups,
// each PC in its own.
void TstConsoleE2E::groupsLastAcrossAConsoleRestart()
{
    DRIVER_OK(m_driver, QStringLiteral("group %1 new 一楼").arg(kPcB));
    DRIVER_OK(m_driver, QStringLiteral("group %1 new 二楼").arg(kPcA));
    DRIVER_OK(m_driver, QStringLiteral("group %1 move 默认分组").arg(kPcB));
    DRIVER_OK(m_driver, QStringLiteral("group %1 move 一楼").arg(kPcB));
    DRIVER_OK(m_driver, QStringLiteral("group delete 二楼"));
    const auto kept = [](const QJsonObject& d) {
        return d.value(QStringLiteral("groups")).toArray() ==
                   QJsonArray{QStringLiteral("默认分组"), QStringLiteral("一楼")} &&
               pcOf(d, kPcA).value(QStringLiteral("group")).toString() == QStringLiteral("默认分组") &&
               pcOf(d, kPcB).value(QStringLiteral("group")).toString() == QStringLiteral("一楼");
    };
    QVERIFY(kept(call(QStringLiteral("dump"))));

    m_driver.abort();
    m_console.kill();
    QString error;
    QVERIFY2(m_console.start(error) && connectDriver(error), qPrintable(error));
    const QJsonObject dump = waitDump(kListedMs, [&kept](const QJsonObject& d) { return kept(d); });
    QVERIFY2(kept(dump), qPrintable(QJsonDocument(dump).toJson(QJsonDocument::Compact)));
}

QTEST_GUILESS_MAIN(TstConsoleE2E)
#include "tst_console_e2e.moc"
