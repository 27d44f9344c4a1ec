// The remote desktop of the real programs on a simulated LAN of network namespaces (lanns.sh): the
// console host runs the account service and ToviaSim, host A runs ToviaSimClient on a simulated farm
// with this test's X display as its desktop and the real grabber, host B runs a second ToviaSim.
// The consoles are operated through their test drivers; what their viewers show is read back from
// the drivers' dumps, where clicks landed from A's display, which grabbers run from /proc. Each
// scenario leaves a working viewer or a message, and no grabber that nobody watches:
// a missing grabber, a grabber killed mid-run, a console killed and reopened, two consoles, the
// agent killed and restarted while a run streams.
//
// The test functions run in order and build on each other.
#include "consoledriver.h"
#include "farmfixture.h"
#include "lannet.h"
#include "platform.h"
#include "simusettings.h"
#include "xdesk.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

namespace {

const QString kUser = QStringLiteral("rdpuser");
const QString kPassword = QStringLiteral("pw-rdp-1");
const QString kConsoleIp = QStringLiteral("10.77.0.1");
const QString kPcA = QStringLiteral("tovia-pc-a");
constexpr quint16 kAccountPort = 8750;
constexpr int kListedMs = 45000;  // sign-in, start-up and discovery
constexpr int kPictureMs = 25000; // a viewer's first picture, or its message
constexpr int kGoneMs = 15000;    // a grabber nobody watches is ended

// One console of the LAN with its test driver.
struct Console
{
    LanHostProgram prog;
    ConsoleDriverClient driver;
    QString driverPath;

    QJsonObject viewer()
    {
        return driver.call(QStringLiteral("dump")).value(QStringLiteral("viewer")).toObject();
    }
    QJsonObject waitViewer(int timeoutMs, const std::function<bool(const QJsonObject&)>& done)
    {
        return driver
            .waitDump(
                timeoutMs,
                [&](const QJsonObject& d) { return done(d.value(QStringLiteral("viewer")).toObject()); })
            .value(QStringLiteral("viewer"))
            .toObject();
    }
};

bool isLive(const QJsonObject& viewer, const QSize& screen)
{
    return viewer.value(QStringLiteral("live")).toBool() &&
           viewer.value(QStringLiteral("pictureWidth")).toInt() == screen.width();
}

} // namespace

class TstDesktopLan : public QObject
{
    Q_OBJECT
public:
    ~TstDesktopLan() override { teardown(); }

private slots:
    void initTestCase();
    void cleanupTestCase() { teardown(); }
    void missingGrabberIsToldAndFixed();
    void grabberKilledMidRunComesBack();
    void consoleKilledAndReopened();
    void twoConsolesOneRun();
    void agentKilledAndRestartedWhileStreaming();

private:
    bool startAgent(QString& error);
    bool startConsole(Console& console, const QString& host, QString& error);
    void stopConsole(Console& console);
    void openViewer(Console& console);
    void closeViewer(Console& console);
    void clickLands(Console& console);
    bool waitLive(Console& console);
    QList<qint64> agentGrabbers() const;
    bool waitGrabbers(int count, int timeoutMs) const;
    void setAgentSetting(const QString& key, const QVariant& value);
    void dumpLogs() const;
    void teardown();

    QString m_prefix;
    bool m_lanUp = false;
    QTemporaryDir m_scratch;
    XDesk m_desk;
    QSize m_screen;
    std::unique_ptr<QProcess> m_pAccountSvc;
    FarmFixture m_farm;
    LanHostProgram m_agent;
    QString m_grabber; // agent A's own ToviaMpeg.exe
    Console m_console1;
    Console m_console2;
};

void TstDesktopLan::initTestCase()
{
    QString why = lanSkipReason({QStringLiteral("ip"), QStringLiteral("unshare"), QStringLiteral("ffmpeg")},
                                {QStringLiteral("ToviaSim"), QStringLiteral("ToviaSimClient"),
                                 QStringLiteral("ToviaMpeg.exe"), QStringLiteral("farmsim"),
                                 QStringLiteral("ToviaAccountSvc")});
    if (!why.isEmpty() || !m_desk.open(why))
        QSKIP(qPrintable(why));
    m_screen = m_desk.screenSize();
    QVERIFY(m_scratch.isValid());
    LAN_UP_OR_SKIP(QStringLiteral("tvrdp"), m_prefix, m_lanUp);
    QString error;
    m_pAccountSvc = startLanAccountService(m_prefix, m_scratch.path(), {kUser}, kPassword, kConsoleIp,
                                           kAccountPort, error);
    QVERIFY2(m_pAccountSvc, qPrintable(error));
    QVERIFY2(m_farm.init(FarmFixture::LdPlayer, 1), qPrintable(m_farm.error()));
    QVERIFY2(startAgent(error), qPrintable(error));
    QVERIFY2(startConsole(m_console1, QStringLiteral("-con"), error), qPrintable(error));
}

bool TstDesktopLan::startAgent(QString& error)
{
    SimuSettings::setDataDir(m_farm.homeDir());
    SimuSettings::setPcNickName(QStringLiteral("机房A"));
    SimuSettings::setValue(QStringLiteral("account/url"),
                           QStringLiteral("http://%1:%2").arg(kConsoleIp).arg(kAccountPort));
    m_agent.ns = m_prefix + QStringLiteral("-a");
    m_agent.keepDisplay = true; // this test's display is A's desktop
    m_agent.home = m_farm.homeDir();
    m_agent.args = QStringList{QStringLiteral("--remember-login"), kUser, kPassword};
    const QString app = m_farm.rootDir() + QStringLiteral("/app");
    if (m_agent.program.isEmpty() && (!copyProgram(QStringLiteral("ToviaSimClient"), app, &m_agent.program) ||
                                      !copyProgram(QStringLiteral("ToviaMpeg.exe"), app, &m_grabber))) {
        error = QStringLiteral("cannot copy the agent's programs to ") + app;
        return false;
    }
    return m_agent.start(error);
}

bool TstDesktopLan::startConsole(Console& console, const QString& host, QString& error)
{
    const QString dir = m_scratch.filePath(QStringLiteral("console") + host);
    console.prog.ns = m_prefix + host;
    console.prog.home = dir + QStringLiteral("/home");
    if (console.prog.program.isEmpty()) {
        QDir().mkpath(console.prog.home);
        if (!copyProgram(QStringLiteral("ToviaSim"), dir + QStringLiteral("/app"), &console.prog.program)) {
            error = QStringLiteral("cannot copy ToviaSim to ") + dir;
            return false;
        }
        SimuSettings::setDataDir(console.prog.home);
        SimuSettings::setValue(QStringLiteral("account/url"),
                               QStringLiteral("http://%1:%2").arg(kConsoleIp).arg(kAccountPort));
    }
    console.driverPath = dir + QStringLiteral("/driver.sock");
    console.prog.args = QStringList{QStringLiteral("--remember-login"), kUser, kPassword,
                                    QStringLiteral("--test-driver"), console.driverPath};
    if (!console.prog.start(error) ||
        !console.driver.connect(
            console.driverPath, kListedMs, [&console] { return console.prog.running(); }, error))
        return false;
    const QJsonObject dump = console.driver.waitDump(kListedMs, [](const QJsonObject& d) {
        return !pcOf(d, kPcA).value(QStringLiteral("rows")).toArray().isEmpty();
    });
    if (pcOf(dump, kPcA).value(QStringLiteral("rows")).toArray().isEmpty()) {
        error = QStringLiteral("%1 never listed %2: %3").arg(host, kPcA, console.prog.logTail(20));
        return false;
    }
    return true;
}

void TstDesktopLan::stopConsole(Console& console)
{
    console.driver.abort();
    console.prog.kill();
}

void TstDesktopLan::setAgentSetting(const QString& key, const QVariant& value)
{
    SimuSettings::setDataDir(m_farm.homeDir());
    SimuSettings::setValue(key, value);
}

// The processes of agent A's own grabber (its path as their argv[0]).
QList<qint64> TstDesktopLan::agentGrabbers() const
{
    QList<qint64> pids;
    for (platform::Pid pid : platform::pidsByImageName("ToviaMpeg.exe")) {
        if (platform::processRunsImage(pid, m_grabber.toStdString()))
            pids << pid;
    }
    return pids;
}

bool TstDesktopLan::waitGrabbers(int count, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return agentGrabbers().size() == count; }, timeoutMs);
}

void TstDesktopLan::openViewer(Console& console)
{
    m_desk.raise();
    m_desk.clear();
    DRIVER_OK(console.driver, QStringLiteral("rdp %1").arg(kPcA));
}

void TstDesktopLan::closeViewer(Console& console)
{
    DRIVER_OK(console.driver, QStringLiteral("closerdp"));
    const QJsonObject dump = console.driver.waitDump(
        5000, [](const QJsonObject& d) { return !d.contains(QStringLiteral("viewer")); });
    QVERIFY(!dump.contains(QStringLiteral("viewer")));
}

// The viewer shows live pictures of A's whole screen (bounded); the logs are printed when it does not.
bool TstDesktopLan::waitLive(Console& console)
{
    const bool live =
        isLive(console.waitViewer(kPictureMs, [this](const QJsonObject& v) { return isLive(v, m_screen); }),
               m_screen);
    if (!live)
        dumpLogs();
    return live;
}

// A click in the middle of the viewer lands on A's display at the pixel under it; the control
// connection may still be on its way, so the click is given a few tries.
void TstDesktopLan::clickLands(Console& console)
{
    m_desk.raise();
    m_desk.clear();
    const QJsonObject viewer = console.viewer();
    const int x = viewer.value(QStringLiteral("width")).toInt() / 2;
    const int y = viewer.value(QStringLiteral("height")).toInt() / 2;
    QJsonObject answer;
    bool landed = false;
    for (int attempt = 0; attempt < 8 && !landed; ++attempt) {
        answer = console.driver.call(QStringLiteral("click %1 %2").arg(x).arg(y));
        QVERIFY2(answer.value(QStringLiteral("ok")).toBool(),
                 qPrintable(answer.value(QStringLiteral("error")).toString()));
        landed = m_desk.waitButtons(2, 2000);
    }
    if (!landed)
        dumpLogs();
    QVERIFY2(landed, "the click did not reach agent A's display");
    QCOMPARE(m_desk.buttons().first().root, QPoint(answer.value(QStringLiteral("agentX")).toInt(),
                                                   answer.value(QStringLiteral("agentY")).toInt()));
}

void TstDesktopLan::dumpLogs() const
{
    for (const LanHostProgram* p : {&m_console1.prog, &m_console2.prog, &m_agent})
        qInfo().noquote() << "----" << p->ns << p->program << ":\n" << p->logTail(30);
}

void TstDesktopLan::teardown()
{
    for (Console* c : {&m_console1, &m_console2})
        stopConsole(*c);
    m_agent.kill();
    for (qint64 pid : agentGrabbers())
        platform::killProcessTree(pid);
    m_farm.killFarmProcesses();
    lanDown(m_prefix, m_lanUp, m_pAccountSvc);
}

// Without its grabber the agent fails the begin: the viewer says so in the agent's words, nothing
// is left running. With the grabber back, the viewer's button begins a run that streams.
void TstDesktopLan::missingGrabberIsToldAndFixed()
{
    const QString away = m_grabber + QStringLiteral(".away");
    QVERIFY(QFile::rename(m_grabber, away));
    auto restore = qScopeGuard([&] { QFile::rename(away, m_grabber); });
    openViewer(m_console1);
    QJsonObject viewer = m_console1.waitViewer(kPictureMs, [](const QJsonObject& v) {
        return v.value(QStringLiteral("message")).toString().contains(QStringLiteral("无法启动屏幕采集程序"));
    });
    QVERIFY2(viewer.value(QStringLiteral("message")).toString().contains(m_grabber),
             qPrintable(viewer.value(QStringLiteral("message")).toString()));
    QVERIFY(agentGrabbers().isEmpty());

    restore.dismiss();
    QVERIFY(QFile::rename(away, m_grabber));
    DRIVER_OK(m_console1.driver, QStringLiteral("rdpretry"));
    QVERIFY2(waitLive(m_console1), "the viewer shows no live picture");
    QCOMPARE(agentGrabbers().size(), 1);
    closeViewer(m_console1);
    QVERIFY(waitGrabbers(0, kGoneMs));
}

// A grabber killed while it streams is started again by the agent: the same viewer shows pictures
// again and its clicks land. (The run is begun with a long grace for the next scenario.)
void TstDesktopLan::grabberKilledMidRunComesBack()
{
    setAgentSetting(QStringLiteral("desktop/lostGraceMs"), 60000);
    openViewer(m_console1);
    QVERIFY2(waitLive(m_console1), "the viewer shows no live picture");
    const QList<qint64> first = agentGrabbers();
    QCOMPARE(first.size(), 1);
    QTest::qWait(2500); // it streamed a while: its death is no failure to start
    ::kill(pid_t(first.first()), SIGKILL);
    QVERIFY(
        QTest::qWaitFor([&] { return agentGrabbers().size() == 1 && agentGrabbers() != first; }, kGoneMs));
    clickLands(m_console1);
    QVERIFY(m_console1.viewer().value(QStringLiteral("live")).toBool());
}

// The console killed while its viewer streams: its run stays for the grace (long here), and the
// console opened again reaches that stale run first; its own begin replaces it, the picture comes
// and clicks land, one grabber runs. Killed with a short grace, the run ends by itself: no grabber
// runs for nobody.
void TstDesktopLan::consoleKilledAndReopened()
{
    stopConsole(m_console1);
    QTest::qWait(1000);
    QCOMPARE(agentGrabbers().size(), 1);
    QString error;
    QVERIFY2(startConsole(m_console1, QStringLiteral("-con"), error), qPrintable(error));
    openViewer(m_console1);
    QVERIFY2(waitLive(m_console1), "the viewer shows no live picture");
    clickLands(m_console1);
    QCOMPARE(agentGrabbers().size(), 1);

    setAgentSetting(QStringLiteral("desktop/lostGraceMs"), 3000);
    closeViewer(m_console1);
    openViewer(m_console1);
    QVERIFY2(waitLive(m_console1), "the viewer shows no live picture");
    stopConsole(m_console1);
    QElapsedTimer sinceKill;
    sinceKill.start();
    QVERIFY2(waitGrabbers(0, kGoneMs), qPrintable(m_agent.logTail(20)));
    QVERIFY2(sinceKill.elapsed() >= 2000, qPrintable(QString::number(sinceKill.elapsed())));
    setAgentSetting(QStringLiteral("desktop/lostGraceMs"), QVariant());
    QVERIFY2(startConsole(m_console1, QStringLiteral("-con"), error), qPrintable(error));
}

// A second console's begin takes the run over: the first viewer says so, with the second console's
// address; the second streams and its clicks land. The first console's end (its viewer closed)
// leaves the second's run alone; the second's end ends it.
void TstDesktopLan::twoConsolesOneRun()
{
    openViewer(m_console1);
    QVERIFY2(waitLive(m_console1), "the viewer shows no live picture");
    QString error;
    QVERIFY2(startConsole(m_console2, QStringLiteral("-b"), error), qPrintable(error));
    openViewer(m_console2);
    QVERIFY2(waitLive(m_console2), "the viewer shows no live picture");
    const QJsonObject first = m_console1.waitViewer(kPictureMs, [](const QJsonObject& v) {
        return v.value(QStringLiteral("message")).toString().contains(QStringLiteral("接管"));
    });
    QVERIFY2(first.value(QStringLiteral("message")).toString().contains(QStringLiteral("10.77.0.3")),
             qPrintable(first.value(QStringLiteral("message")).toString()));
    clickLands(m_console2);

    closeViewer(m_console1);
    QTest::qWait(2000);
    QCOMPARE(agentGrabbers().size(), 1);
    QVERIFY(isLive(m_console2.viewer(), m_screen));
    clickLands(m_console2);
    closeViewer(m_console2);
    QVERIFY(waitGrabbers(0, kGoneMs));
}

// The agent killed while a run streams leaves its grabber streaming; the agent started again ends
// it. The viewer says its pictures stopped; its button begins a new run that streams, with one
// grabber, and its clicks land. (An agent not yet signed in ignores commands: the button is used
// once it has signed in, as a user would after its message.)
void TstDesktopLan::agentKilledAndRestartedWhileStreaming()
{
    const QString signedIn = QStringLiteral("signed in as ") + kUser;
    openViewer(m_console2);
    QVERIFY2(waitLive(m_console2), "the viewer shows no live picture");
    const QList<qint64> orphan = agentGrabbers();
    QCOMPARE(orphan.size(), 1);
    const int logins = m_agent.log().count(signedIn);
    m_agent.kill();
    QTest::qWait(500);
    QVERIFY(platform::processAlive(orphan.first()));
    QString error;
    QVERIFY2(startAgent(error), qPrintable(error));
    QVERIFY2(QTest::qWaitFor([&] { return !platform::processAlive(orphan.first()); }, kListedMs),
             qPrintable(m_agent.logTail(20)));
    const QJsonObject stopped = m_console2.waitViewer(kPictureMs, [](const QJsonObject& v) {
        return !v.value(QStringLiteral("message")).toString().isEmpty();
    });
    QVERIFY2(stopped.value(QStringLiteral("message")).toString().contains(QStringLiteral("中断")),
             qPrintable(stopped.value(QStringLiteral("message")).toString()));
    QVERIFY2(QTest::qWaitFor([&] { return m_agent.log().count(signedIn) > logins; }, kListedMs),
             qPrintable(m_agent.logTail(20)));
    DRIVER_OK(m_console2.driver, QStringLiteral("rdpretry"));
    QVERIFY2(waitLive(m_console2), "the viewer shows no live picture");
    QCOMPARE(agentGrabbers().size(), 1);
    clickLands(m_console2);
    closeViewer(m_console2);
    QVERIFY(waitGrabbers(0, kGoneMs));
}

QTEST_GUILESS_MAIN(TstDesktopLan)
#include "tst_desktop_lan.moc"
