// The agent at a farm's pace, against the simulated farm (LDPlayer), agent objects in this process:
//   starts     one start command of 8 instances that boot for 20 s, at common/parallelStarts 1 and
//              at 4: when each report reached the console, and the whole command;
//   cpu        10 running instances, the agent's workers with their default periods: the agent's
//              own CPU (this process) and that of the tools it ran, while a console (a child
//              process) queries once a second as the console does, then with no console; first
//              with one adb process per capture, then through the instances' long-lived adb shells;
//   cpu720     the same with screens of 720 x 1280 (farmsim's own are 270 x 480);
//   discovery  an agent starting up while tools are slow (one instance's tools 30 s, or every tool
//              5 s): time from the start to the first answer to a type 0 and to a type 1 query.
// Run: TOVIA_BIN_DIR=<build>/bin <build>/bin/agentcore_bench [starts|cpu|cpu720|capture|discovery]...
#include "adbbridge.h"
#include "adbshells.h"
#include "agentcontroller.h"
#include "consoleharness.h"
#include "discovery.h"
#include "farmfixture.h"
#include "farmtrust.h"
#include "inventorycache.h"
#include "launcherfactory.h"
#include "loginret.h"
#include "screenshot.h"
#include "simusettings.h"
#include "simustatestore.h"
#include "udprceiverobj.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTcpServer>
#include <QTimer>
#include <QUdpSocket>

#include <cstdio>
#include <functional>
#include <sys/resource.h>
#include <tuple>

namespace {

const QString kUser = QStringLiteral("bench");

void waitMs(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

template <typename Pred> bool waitFor(Pred pred, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs)
            return false;
        waitMs(20);
    }
    return true;
}

quint16 freeUdpPort()
{
    QUdpSocket s;
    s.bind(QHostAddress::LocalHost, 0);
    return s.localPort();
}

quint16 freeTcpPort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

double cpuSeconds(int who)
{
    rusage u{};
    getrusage(who, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A farm whose instances `running` are up and booted, settings as the agent ships them.
bool layOut(FarmFixture& farm, int instances, int running, int bootMs)
{
    if (!farm.init(FarmFixture::LdPlayer, instances)) {
        std::fprintf(stderr, "farm: %s\n", qUtf8Printable(farm.error()));
        return false;
    }
    farm.setKnob(QStringLiteral("bootDelayMs"), QString::number(bootMs));
    SimuSettings::setValue(QStringLiteral("tuning/sleepStepMs"), 1000);
    SimuSettings::setValue(QStringLiteral("tuning/toolTimeoutMs"), 0);
    SimuSettings::setValue(QStringLiteral("common/startupTimeout"), 120);
    SimuSettings::setValue(QStringLiteral("common/checkTimeSpan"), 10);
    // The fixture's short screenshot period is for tests; the agent ships with one second.
    SimuSettings::setValue(QStringLiteral("common/screenshotTimeSpan"), 1000);
    SimuSettings::setRunLimit(10);
    SimuSettings::setDaemonModel(0);
    SimuSettings::setPcNickName(QStringLiteral("机房"));
    const QStringList idx = farm.indexes();
    for (int i = 0; i < running; ++i) {
        if (!farm.startInstance(idx.at(i)) || !farm.waitInstance(idx.at(i), QStringLiteral("online"), true)) {
            std::fprintf(stderr, "farm: instance %s did not come up\n", qUtf8Printable(idx.at(i)));
            return false;
        }
    }
    return true;
}

// ---- starts ------------------------------------------------------------------------------------

constexpr int kStarts = 8;
constexpr int kBootMs = 20000;

bool benchStarts(int parallel)
{
    FarmFixture farm;
    if (!layOut(farm, kStarts, 0, kBootMs))
        return false;
    SimuSettings::setValue(QStringLiteral("common/parallelStarts"), parallel);
    signIn(kUser);
    ResultServer results;
    results.listen(QHostAddress::LocalHost);
    AgentCommandServer agent(results.agentOptions());
    if (!agent.start())
        return false;
    const qint64 sentMs = results.nowMs();
    ConsoleClient::send(agent.port(), ConsoleClient::makeDoc(
                                          ConsoleClient::makeOpers(eOperStartup, farm.indexes(), 1), kUser));
    const bool all = results.waitForReports(kStarts, kStarts * (kBootMs + 15000));
    QStringList at;
    int failed = 0;
    for (const ConsoleReport& rep : results.reports()) {
        at << QString::number((rep.docMs - sentMs) / 1000.0, 'f', 1);
        failed += rep.oper.iReplyRet != 0;
    }
    const qint64 lastMs = results.reports().isEmpty() ? 0 : results.reports().last().docMs - sentMs;
    std::printf("starts: 8 instances, boot %d s, parallelStarts %d: all reported after %.1f s%s; "
                "reports at %s s; %d failed\n",
                kBootMs / 1000, parallel, lastMs / 1000.0, all ? "" : " (not all reported)",
                qPrintable(at.join(QStringLiteral(", "))), failed);
    AgentCommandServer::waitIdle(60000);
    LoginRecord::clear();
    return all;
}

// ---- cpu ---------------------------------------------------------------------------------------

constexpr int kRunning = 10;
constexpr int kWarmUpMs = 15000;
constexpr int kMeasureMs = 30000;

// The console of the CPU figure, as a process of its own: a query a second, type 1 at odd ticks and
// type 0 at even ones, every reply read.
int runConsole(quint16 port)
{
    signIn(kUser); // the farm's key signs the queries

    QUdpSocket socket;
    socket.bind(QHostAddress::LocalHost, 0);
    qint64 replies = 0;
    QObject::connect(&socket, &QUdpSocket::readyRead, [&] {
        while (socket.hasPendingDatagrams()) {
            socket.receiveDatagram();
            ++replies;
        }
    });
    int tick = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        ++tick;
        socket.writeDatagram(FarmTrust::query(tick % 2, kUser), QHostAddress::LocalHost, port);
        if (tick % 10 == 0)
            std::fprintf(stderr, "console: %d queries, %lld replies\n", tick, replies);
    });
    timer.start(1000);
    return QCoreApplication::exec();
}

struct CpuShare
{
    double ownPct = 0;
    double toolsPct = 0;
};

CpuShare measureCpu(int ms)
{
    QElapsedTimer wall;
    wall.start();
    const double self0 = cpuSeconds(RUSAGE_SELF);
    const double kids0 = cpuSeconds(RUSAGE_CHILDREN);
    waitMs(ms);
    const double secs = wall.elapsed() / 1000.0;
    return {100.0 * (cpuSeconds(RUSAGE_SELF) - self0) / secs,
            100.0 * (cpuSeconds(RUSAGE_CHILDREN) - kids0) / secs};
}

// shells: captures through the instances' long-lived adb shells (else one adb process each);
// screen: the instances' screen size (empty: farmsim's own).
bool benchCpu(const QString& self, bool shells, const QSize& screen = QSize())
{
    FarmFixture farm;
    if (!layOut(farm, kRunning, kRunning, 500))
        return false;
    SimuSettings::setValue(QStringLiteral("tuning/adbShells"), shells ? 1 : 0);
    if (screen.isValid()) {
        farm.setKnob(QStringLiteral("screenWidth"), QString::number(screen.width()));
        farm.setKnob(QStringLiteral("screenHeight"), QString::number(screen.height()));
    }
    const QString label = QStringLiteral("%1, %2").arg(
        shells ? QStringLiteral("adb shells") : QStringLiteral("adb process per capture"),
        screen.isValid() ? QStringLiteral("%1x%2").arg(screen.width()).arg(screen.height())
                         : QStringLiteral("270x480"));
    signIn(kUser);
    AgentController::Options options;
    options.udpPort = freeUdpPort();
    options.tcpPort = freeTcpPort();
    AgentController agent(options);
    agent.startWorkers();
    agent.scanInventory();
    agent.announceStart(QStringLiteral("雷电模拟器"));

    QProcess console;
    console.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    console.start(self, {QStringLiteral("--console"), QString::number(options.udpPort)});
    waitMs(kWarmUpMs);
    const CpuShare querying = measureCpu(kMeasureMs);
    console.kill();
    console.waitForFinished(5000);
    waitMs(kWarmUpMs);
    const CpuShare idle = measureCpu(kMeasureMs);
    std::printf("cpu (%s): %d running, console querying: agent %.2f %% of a core (%.3f %% per instance), "
                "tools it ran %.2f %% (%.3f %% per instance)\n",
                qPrintable(label), kRunning, querying.ownPct, querying.ownPct / kRunning, querying.toolsPct,
                querying.toolsPct / kRunning);
    std::printf("cpu (%s): %d running, no console: agent %.2f %% of a core (%.3f %% per instance), "
                "tools it ran %.2f %%\n",
                qPrintable(label), kRunning, idle.ownPct, idle.ownPct / kRunning, idle.toolsPct);
    agent.shutdown();
    LoginRecord::clear();
    return true;
}

// ---- capture -----------------------------------------------------------------------------------

// The agent's own CPU for one thumbnail of one instance: the pulled picture file (connect,
// screencap, pull, decode, scale, encode), the raw frame of one "exec-out" process, and the raw
// frame from the instance's long-lived adb shell (scale, encode).
bool benchCapture()
{
    FarmFixture farm;
    if (!layOut(farm, 1, 1, 0))
        return false;
    const QString serial = QStringLiteral("127.0.0.1:5555");
    const QString file = SimuSettings::screenshotPath(farm.indexes().first());
    constexpr int kCaptures = 40;
    const auto perCapture = [&](bool raw, bool shells) {
        SimuSettings::setValue(QStringLiteral("tuning/adbShells"), shells ? 1 : 0);
        Screenshot::capture(serial, file, false, raw); // connected, and the shell started
        const double cpu0 = cpuSeconds(RUSAGE_SELF);
        QElapsedTimer wall;
        wall.start();
        int failed = 0;
        for (int i = 0; i < kCaptures; ++i)
            failed += Screenshot::capture(serial, file, true, raw).result.iRet != 0;
        return std::make_tuple((cpuSeconds(RUSAGE_SELF) - cpu0) * 1000 / kCaptures,
                               wall.elapsed() / double(kCaptures), failed);
    };
    const double spawn0 = cpuSeconds(RUSAGE_SELF);
    for (int i = 0; i < kCaptures; ++i)
        RunAdbCmd({QStringLiteral("version")}, 10);
    const double spawnCpu = (cpuSeconds(RUSAGE_SELF) - spawn0) * 1000 / kCaptures;
    const auto [fileCpu, fileWall, fileFailed] = perCapture(false, false);
    const auto [rawCpu, rawWall, rawFailed] = perCapture(true, false);
    const auto [shellCpu, shellWall, shellFailed] = perCapture(true, true);
    std::printf("capture: one thumbnail, agent CPU (wall): pulled file %.2f ms (%.0f ms), exec-out raw frame "
                "%.2f ms (%.0f ms), adb shell raw frame %.2f ms (%.0f ms); %d, %d and %d failed; one adb run "
                "alone %.2f ms\n",
                fileCpu, fileWall, rawCpu, rawWall, shellCpu, shellWall, fileFailed, rawFailed, shellFailed,
                spawnCpu);
    AdbShells::shutdown();
    return fileFailed + rawFailed + shellFailed == 0;
}

// ---- breakdown ---------------------------------------------------------------------------------

// What the steady work of a looked-at agent costs it, one step at a time (agent CPU per call): the
// running listing of the product, one settings read, one capture through the instance's shell,
// the answer to one state query (10 instances, thumbnails included).
bool benchBreakdown()
{
    FarmFixture farm;
    if (!layOut(farm, kRunning, kRunning, 0))
        return false;
    InventoryCache::instance().current();
    const auto perCall = [](int calls, const std::function<void()>& fn) {
        fn();
        const double cpu0 = cpuSeconds(RUSAGE_SELF);
        for (int i = 0; i < calls; ++i)
            fn();
        return (cpuSeconds(RUSAGE_SELF) - cpu0) * 1000 / calls;
    };
    QStringList running;
    const double listing = perCall(20, [&] {
        running.clear();
        SimuListRunning(running);
    });
    const double setting = perCall(2000, [] { AdbBridge::adbProgram(); });
    const QString file = SimuSettings::screenshotPath(QStringLiteral("0"));
    const auto captureOne = [&] { Screenshot::capture(QStringLiteral("127.0.0.1:5555"), file, true, true); };
    const double capture = perCall(50, captureOne);
    farm.setKnob(QStringLiteral("screenWidth"), QStringLiteral("720"), QStringLiteral("0"));
    farm.setKnob(QStringLiteral("screenHeight"), QStringLiteral("1280"), QStringLiteral("0"));
    const double capture720 = perCall(50, captureOne);
    for (int i = 0; i < kRunning; ++i)
        Screenshot::capture(QStringLiteral("127.0.0.1:%1").arg(5555 + 2 * i),
                            SimuSettings::screenshotPath(QString::number(i)), false, true);
    SimuStateStore::instance().setRunningList(running);
    for (const QString& idx : running)
        SimuSettings::updateSimuRecord(idx, [](struSimuRecord& rec) { rec.iState = eStateRunning; });
    UdpRceiverObj responder(0, QHostAddress::LocalHost);
    int replies = 0;
    const double answer = perCall(200, [&] {
        replies = responder.buildReplies(Discovery::eQuerySimuState, QStringLiteral("127.0.0.1")).size();
    });
    std::printf(
        "breakdown (agent CPU per call): running listing %.2f ms (%d running), settings read %.3f ms, "
        "capture through the shell %.2f ms (720x1280: %.2f ms), answer to a state query %.2f ms (%d "
        "replies)\n",
        listing, int(running.size()), setting, capture, capture720, answer, replies);
    AdbShells::shutdown();
    return true;
}

// ---- discovery ---------------------------------------------------------------------------------

// Queries the agent once a second from its start, as the console does; the time of the first
// answer of each kind.
bool benchDiscovery(const QString& label, const QString& knobInstance, int toolDelayMs)
{
    FarmFixture farm;
    if (!layOut(farm, 10, 3, 500))
        return false;
    farm.setKnob(QStringLiteral("toolDelayMs"), QString::number(toolDelayMs), knobInstance);
    signIn(kUser);
    AgentController::Options options;
    options.udpPort = freeUdpPort();
    options.tcpPort = freeTcpPort();
    QUdpSocket socket;
    socket.bind(QHostAddress::LocalHost, 0);
    qint64 firstPcInfoMs = -1;
    qint64 firstStatesMs = -1;
    int listed = 0;
    QElapsedTimer clock;
    QObject::connect(&socket, &QUdpSocket::readyRead, [&] {
        while (socket.hasPendingDatagrams()) {
            Discovery::struDecodedReply reply;
            if (Discovery::decodeReply(socket.receiveDatagram().data(), reply) !=
                Discovery::eDecodeStatus::Ok)
                continue;
            if (reply.header.kind == Discovery::eReplyPcInfo && firstPcInfoMs < 0) {
                firstPcInfoMs = clock.elapsed();
                listed = reply.simus.size();
            } else if (reply.header.kind == Discovery::eReplySimuState && firstStatesMs < 0) {
                firstStatesMs = clock.elapsed();
            }
        }
    });
    int tick = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        socket.writeDatagram(FarmTrust::query(++tick % 2, kUser), QHostAddress::LocalHost, options.udpPort);
    });
    clock.start();
    AgentController agent(options);
    agent.startWorkers();
    agent.scanInventory();
    timer.start(1000);
    waitFor([&] { return firstPcInfoMs >= 0 && firstStatesMs >= 0; }, 90000);
    std::printf("discovery: start-up with %s: first type 0 answer after %.1f s (%d emulators listed), "
                "first type 1 answer after %.1f s\n",
                qPrintable(label), firstPcInfoMs / 1000.0, listed, firstStatesMs / 1000.0);
    timer.stop();
    agent.shutdown();
    LoginRecord::clear();
    return firstPcInfoMs >= 0;
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.value(0) == QLatin1String("--console"))
        return runConsole(quint16(args.value(1).toUInt()));
    if (FarmFixture::farmsimPath().isEmpty()) {
        std::fprintf(stderr, "farmsim not found: set TOVIA_BIN_DIR\n");
        return 2;
    }
    const QStringList parts = args.isEmpty() ? QStringList{"discovery", "cpu", "starts"} : args;
    bool ok = true;
    for (const QString& part : parts) {
        if (part == QLatin1String("starts")) {
            ok = benchStarts(1) && ok;
            ok = benchStarts(4) && ok;
        } else if (part == QLatin1String("breakdown")) {
            ok = benchBreakdown() && ok;
        } else if (part == QLatin1String("capture")) {
            ok = benchCapture() && ok;
        } else if (part == QLatin1String("cpu")) {
            // Before and after in one run: one adb process per capture, then the long-lived shells.
            ok = benchCpu(app.applicationFilePath(), false) && ok;
            ok = benchCpu(app.applicationFilePath(), true) && ok;
        } else if (part == QLatin1String("cpu-shells") || part == QLatin1String("cpu-procs")) {
            ok = benchCpu(app.applicationFilePath(), part == QLatin1String("cpu-shells")) &&
                 ok; // one of the two
        } else if (part == QLatin1String("cpu720")) {
            ok = benchCpu(app.applicationFilePath(), false, QSize(720, 1280)) && ok;
            ok = benchCpu(app.applicationFilePath(), true, QSize(720, 1280)) && ok;
        } else if (part == QLatin1String("discovery")) {
            ok = benchDiscovery(QStringLiteral("one running instance's tools taking 30 s"),
                                QStringLiteral("0"), 30000) &&
                 ok;
            ok = benchDiscovery(QStringLiteral("every tool taking 5 s"), QString(), 5000) && ok;
        } else {
            std::fprintf(stderr, "unknown part %s (starts, cpu, cpu720, capture, discovery)\n",
                         qPrintable(part));
            return 2;
        }
        std::fflush(stdout);
    }
    return ok ? 0 : 1;
}
