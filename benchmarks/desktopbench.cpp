// Remote desktop figures, each beside its yardstick in the same run. The console's main window with
// its operations and the agent's command server with its remote-desktop runs live in this process;
// the real grabber (ToviaMpeg.exe) streams $DISPLAY over loopback. Run as root, the program moves to
// a network namespace of its own first: the control port 7800 is then surely free, and the loopback
// counters count this program's traffic only (what a viewer costs the LAN).
//
// Per run: the floor (the grabber's command started by hand, until its first UDP datagram); the
// viewer opened by a double click on the emulator's tile, until its window has painted and until its
// first picture is painted; the glass-to-glass latency (the agent's display changes colour, until the
// viewer has painted a picture with it); pictures painted per second and the console's CPU while
// the whole desktop changes ten times a second; the bytes on the wire per second, on a still and on
// a busy desktop.
#include "centertoolmainwnd.h"
#include "consoleharness.h"
#include "consoleopswiring.h"
#include "desktopgrabber.h"
#include "desktoprunmgr.h"
#include "desktoprunoptions.h"
#include "mygrpdrawer.h"
#include "remotedesktopwnd.h"
#include "simusettings.h"
#include "simutcprcvobj.h"
#include "vedioboxdrawer.h"
#include "xdesk.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kRuns = 5;
constexpr int kChanges = 40;
constexpr int kSpanMs = 5000;
constexpr int kPictureWaitMs = 15000;
const QString kUser = QStringLiteral("benchuser");
const QString kPc = QStringLiteral("bench-pc");

// A network namespace of this process's own with its loopback up; false where that is not allowed.
bool enterPrivateNetwork()
{
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0)
        return false;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0)
        close(fd);
    return up;
}

// Bytes received on loopback so far (each byte sent on loopback is received once).
qint64 loopbackBytes()
{
    QFile dev(QStringLiteral("/proc/net/dev"));
    if (!dev.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : dev.readAll().split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.startsWith("lo:"))
            return trimmed.mid(3).simplified().split(' ').value(0).toLongLong();
    }
    return -1;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> v, double p)
{
    v.erase(std::remove(v.begin(), v.end(), -1.0), v.end());
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

bool near(const QColor& a, const QColor& b)
{
    return qAbs(a.red() - b.red()) < 40 && qAbs(a.green() - b.green()) < 40 && qAbs(a.blue() - b.blue()) < 40;
}

// Millisecond naps in an event loop: the figures must not include a busy wait.
bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done() && !deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(1, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

void pause(int ms)
{
    waitFor([] { return false; }, ms);
}

// The yardstick: the grabber's own command line started by hand, until its first datagram arrives.
double floorMs(const QString& grabber)
{
    QUdpSocket sink;
    if (!sink.bind(QHostAddress::LocalHost, 0))
        return -1;
    const QString url = QStringLiteral("udp://127.0.0.1:%1").arg(sink.localPort());
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setProgram(grabber);
    process.setArguments(DesktopGrabber::arguments(url, DesktopRunOptions().bitRateKbps));
    QElapsedTimer clock;
    clock.start();
    process.start();
    const bool arrived = waitFor([&] { return sink.hasPendingDatagrams(); }, kPictureWaitMs);
    const double ms = clock.nsecsElapsed() / 1e6;
    process.kill();
    process.waitForFinished(3000);
    return arrived ? ms : -1;
}

// The console's window with one agent PC listed by hand (its discovery is never answered, and a clock
// that stands still keeps the PC online).
struct Console
{
    QUdpSocket silent;
    std::unique_ptr<CenterToolMainWnd> pWnd;
    VedioBoxDrawer* pTiles = nullptr;

    bool open(quint16 agentPort)
    {
        if (!silent.bind(QHostAddress::LocalHost, 0))
            return false;
        CenterToolMainWnd::Options o;
        o.queryPort = silent.localPort();
        o.targets = {QHostAddress(QHostAddress::LocalHost)};
        o.trayIcon = false;
        const qint64 listedAt = QDateTime::currentSecsSinceEpoch();
        o.clock = [listedAt] { return listedAt; };
        pWnd = std::make_unique<CenterToolMainWnd>(o);
        ConsoleOpsOptions opts;
        opts.agentPort = agentPort;
        opts.resultPort = 0;
        attachConsoleOps(*pWnd, opts);
        pWnd->initWnd();
        struPcInfoReply reply;
        reply.header.setPcName(kPc);
        reply.header.setNickName(QStringLiteral("机房一"));
        reply.header.setIpAddr(QStringLiteral("127.0.0.1"));
        reply.header.iRunLimit = 3;
        reply.header.iSimuType = 2;
        reply.simus = {struSimuEntry{5555, QStringLiteral("0"), QStringLiteral("雷电模拟器")}};
        reply.from = QHostAddress(QHostAddress::LocalHost);
        pWnd->slNewPcInfoArrived(reply);
        pTiles = pWnd->rightGrpDrawer()->findPc(kPc);
        return pTiles && pTiles->box(QStringLiteral("0"));
    }
};

struct RunFigures
{
    double floorMs = -1;
    double dclickReturnMs = -1; // the double click's handler returned
    double visibleMs = -1;      // the window has painted (its waiting message)
    double firstFromClickMs = -1;
    double firstFromBeginMs = -1;
    double fps = 0;
    double cpuPercent = 0;
    double stillKBps = -1;
    double busyKBps = -1;
    std::vector<double> latencies;
};

// Bytes on loopback per second (KB/s) while `during` runs for kSpanMs; -1 without a private network.
double wireRate(bool privateNet, const std::function<void()>& during)
{
    const qint64 before = privateNet ? loopbackBytes() : -1;
    QElapsedTimer span;
    span.start();
    during();
    if (before < 0)
        return -1;
    return (loopbackBytes() - before) / 1024.0 * 1000.0 / double(span.elapsed());
}

class PaintWatch : public QObject
{
public:
    std::function<void()> onPainted;

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override
    {
        // The clock stops once the paint has returned: at the next turn of the event loop.
        if (pEvent->type() == QEvent::Paint && onPainted) {
            auto done = std::move(onPainted);
            onPainted = nullptr;
            QTimer::singleShot(0, this, done);
        }
        return QObject::eventFilter(pWatched, pEvent);
    }
};

RunFigures oneRun(Console& console, DesktopRunMgr& runs, XDesk& desk, const QString& grabber, bool privateNet)
{
    RunFigures fig;
    desk.fill(Qt::black);
    fig.floorMs = floorMs(grabber);

    QElapsedTimer clock;
    clock.start();
    QTest::mouseDClick(console.pTiles->box(QStringLiteral("0")), Qt::LeftButton, {}, QPoint(60, 60));
    fig.dclickReturnMs = clock.nsecsElapsed() / 1e6;
    auto* pWnd = qobject_cast<RemoteDesktopWnd*>(console.pTiles->remoteDesktopDlg());
    if (!pWnd) {
        std::fprintf(stderr, "the double click opened no viewer\n");
        return fig;
    }
    PaintWatch watch;
    watch.onPainted = [&] { fig.visibleMs = clock.nsecsElapsed() / 1e6; };
    pWnd->installEventFilter(&watch);
    double beginAtMs = -1;
    QObject::connect(pWnd, &RemoteDesktopWnd::sigBeginRmtDsktp, pWnd,
                     [&] { beginAtMs = clock.nsecsElapsed() / 1e6; });
    int shown = 0;
    std::function<void()> onShown;
    QObject::connect(pWnd, &RemoteDesktopWnd::sigPictureShown, pWnd, [&](int n) {
        if (n == 1 && beginAtMs >= 0) {
            fig.firstFromClickMs = clock.nsecsElapsed() / 1e6;
            fig.firstFromBeginMs = fig.firstFromClickMs - beginAtMs;
        }
        shown = n;
        if (onShown)
            onShown();
    });
    if (!waitFor([&] { return shown > 0; }, kPictureWaitMs)) {
        std::fprintf(stderr, "no picture within %d ms: %s\n", kPictureWaitMs,
                     qPrintable(pWnd->messageText()));
        pWnd->close();
        return fig;
    }

    const QList<QColor> colours{QColor(220, 20, 20), QColor(20, 200, 20), QColor(20, 20, 220),
                                QColor(230, 230, 230)};
    for (int i = 0; i < kChanges; ++i) {
        const QColor colour = colours.at(i % colours.size());
        pause(20 + (i * 7) % 40);
        bool seen = false;
        QElapsedTimer change;
        onShown = [&] {
            const QImage picture = pWnd->picture();
            if (!seen && near(picture.pixelColor(picture.width() / 4, picture.height() / 4), colour)) {
                seen = true;
                fig.latencies.push_back(change.nsecsElapsed() / 1e6);
            }
        };
        change.start();
        desk.fill(colour);
        waitFor([&] { return seen; }, 2000);
        onShown = nullptr;
    }

    fig.stillKBps = wireRate(privateNet, [] { pause(kSpanMs); });
    const int shownBefore = shown;
    const double cpuBefore = cpuSeconds();
    QElapsedTimer span;
    span.start();
    QTimer scribbler;
    unsigned seed = 1;
    QObject::connect(&scribbler, &QTimer::timeout, [&] { desk.scribble(300, seed++); });
    scribbler.start(100);
    fig.busyKBps = wireRate(privateNet, [] { pause(kSpanMs); });
    scribbler.stop();
    fig.fps = (shown - shownBefore) * 1000.0 / double(span.elapsed());
    fig.cpuPercent = (cpuSeconds() - cpuBefore) * 100.0 * 1000.0 / double(span.elapsed());

    pWnd->close(); // the end command goes out; the drawer lets the window go
    waitFor([&] { return !runs.hasRun(); }, 10000);
    pause(300);
    return fig;
}

void printFigures(const std::vector<RunFigures>& runs)
{
    std::vector<double> floors, clicks, visible, fromClick, fromBegin, fps, cpu, still, busy, latencies;
    for (const RunFigures& f : runs) {
        floors.push_back(f.floorMs);
        clicks.push_back(f.dclickReturnMs);
        visible.push_back(f.visibleMs);
        fromClick.push_back(f.firstFromClickMs);
        fromBegin.push_back(f.firstFromBeginMs);
        fps.push_back(f.fps);
        cpu.push_back(f.cpuPercent);
        still.push_back(f.stillKBps);
        busy.push_back(f.busyKBps);
        latencies.insert(latencies.end(), f.latencies.begin(), f.latencies.end());
    }
    const double floor = percentile(floors, 0.5);
    const double first = percentile(fromBegin, 0.5);
    std::printf("medians of %zu runs:\n", runs.size());
    std::printf("  floor: grabber started by hand to its first datagram   %7.0f ms\n", floor);
    std::printf("  first picture painted after the begin command           %7.0f ms  (%.2fx the floor)\n",
                first, floor > 0 ? first / floor : -1);
    std::printf("  first picture painted after the double click            %7.0f ms\n",
                percentile(fromClick, 0.5));
    std::printf("  viewer window painted after the double click            %7.1f ms  (the click's handler: "
                "%.1f ms)\n",
                percentile(visible, 0.5), percentile(clicks, 0.5));
    std::printf("  glass-to-glass latency p50 / p95 (%zu changes)         %7.0f / %.0f ms\n",
                latencies.size(), percentile(latencies, 0.5), percentile(latencies, 0.95));
    std::printf("  pictures painted per second, busy desktop               %7.1f\n", percentile(fps, 0.5));
    std::printf("  console CPU while viewing, busy desktop                 %7.0f %% of one core\n",
                percentile(cpu, 0.5));
    if (percentile(busy, 0.5) < 0) {
        std::printf("  bytes on the wire: not measured (needs root for a network namespace of its own)\n");
        return;
    }
    std::printf(
        "  a viewer on the wire at %d kb/s, still / busy desktop  %7.0f / %.0f KB/s (%.1f / %.1f Mb/s)\n",
        DesktopRunOptions().bitRateKbps, percentile(still, 0.5), percentile(busy, 0.5),
        percentile(still, 0.5) * 8 * 1024 / 1e6, percentile(busy, 0.5) * 8 * 1024 / 1e6);
}

} // namespace

int main(int argc, char** argv)
{
    const bool privateNet = enterPrivateNetwork(); // before any thread exists: all of them follow
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
        if (type >= QtCriticalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(msg));
    });
    QString binDir = qEnvironmentVariable("TOVIA_BIN_DIR");
    if (binDir.isEmpty())
        binDir = QCoreApplication::applicationDirPath();
    const QString grabber = binDir + QStringLiteral("/ToviaMpeg.exe");
    XDesk desk;
    QString why;
    if (!QFile::exists(grabber) || !desk.open(why, false)) {
        std::fprintf(stderr, "needs %s and an X display: %s\n", qPrintable(grabber), qPrintable(why));
        return 2;
    }
    QTemporaryDir home;
    SimuSettings::setDataDir(home.path());
    signIn(kUser);
    AgentCommandServer server;
    auto* pRuns = new DesktopRunMgr(server.object(), RmtDsktpMsg::kControlPort, grabber);
    pRuns->attach(server.object());
    Console console;
    if (!server.start() || !console.open(server.port())) {
        std::fprintf(stderr, "the agent's command server or the console's window did not start\n");
        return 2;
    }
    const QSize screen = desk.screenSize();
    std::printf("Remote desktop over loopback%s, %dx%d display, %d runs, %d colour changes each:\n",
                privateNet ? " (a network namespace of its own)" : "", screen.width(), screen.height(), kRuns,
                kChanges);
    if (!privateNet)
        std::printf("  (not root: the root namespace's loopback; port 7800 must be free)\n");
    std::vector<RunFigures> runs;
    for (int run = 0; run < kRuns; ++run) {
        const RunFigures f = oneRun(console, *pRuns, desk, grabber, privateNet);
        std::printf(
            "  run %d: floor %.0f ms, first picture %.0f ms after the begin (%.0f ms after the double "
            "click), window painted %.1f ms after it, latency p50 %.0f ms p95 %.0f ms (%zu of %d seen), "
            "%.1f pictures/s, console CPU %.0f %%, wire still %.0f KB/s busy %.0f KB/s\n",
            run + 1, f.floorMs, f.firstFromBeginMs, f.firstFromClickMs, f.visibleMs,
            percentile(f.latencies, 0.5), percentile(f.latencies, 0.95), f.latencies.size(), kChanges, f.fps,
            f.cpuPercent, f.stillKBps, f.busyKBps);
        runs.push_back(f);
    }
    printFigures(runs);
    return 0;
}
