// Console figures at LAN scale: the real main window (discovery worker, registry, device list,
// tiles) against consoleloadgen answering like 100 agent PCs x 50 emulators on loopback.
//   - replies: datagrams the load generator sent vs. those the console received, and the kernel's
//     drop count of the console's socket;
//   - CPU: the whole process in % of one core, averaged over the measuring window;
//   - GUI thread: its CPU time per round (one type 1 and one type 0 query, 2 s), and the time the
//     state-report slot took per round (5,000 states and thumbnails);
//   - responsiveness while scrolling the tiles: how late a 5 ms timer of the GUI thread fires
//     (p50, p99, max), with the scroll area moved every 16 ms.
// Run (X for a real paint, or offscreen):
//   TOVIA_BIN_DIR=<build>/bin xvfb-run -a -s "-screen 0 1280x800x24" <build>/bin/console_bench [seconds]
#include "absdrawer.h"
#include "agentregistry.h"
#include "centertoolmainwnd.h"
#include "loginret.h"
#include "udpsenderobj.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>

namespace {

constexpr int kAgents = 100;
constexpr int kSimus = 50;

double processCpuSec()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double threadCpuSec()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Drops the kernel counted for the UDP socket bound to `port` (last column of /proc/net/udp).
long long kernelDrops(quint16 port)
{
    QFile f(QStringLiteral("/proc/net/udp"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QString hexPort = QStringLiteral(":%1").arg(port, 4, 16, QLatin1Char('0')).toUpper();
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> cols = line.simplified().split(' ');
        if (cols.size() > 12 && cols.at(1).endsWith(hexPort.toLatin1()))
            return cols.last().toLongLong();
    }
    return -1;
}

void waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done() && !t.hasExpired(timeoutMs)) {
        QEventLoop loop; // sleeps in the event loop, so the figures are the console's, not this wait's
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

struct LoadGenRun
{
    QProcess proc;
    quint16 port = 0;
    long long sentTotal = 0;
    int stateRounds = 0;

    bool start()
    {
        QObject::connect(&proc, &QProcess::readyReadStandardOutput, [this] { read(); });
        proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        proc.start(qEnvironmentVariable("TOVIA_BIN_DIR") + QStringLiteral("/consoleloadgen"),
                   {QStringLiteral("--agents"), QString::number(kAgents), QStringLiteral("--simus"),
                    QString::number(kSimus)});
        waitUntil([this] { return port != 0 || proc.state() == QProcess::NotRunning; }, 60000);
        return port != 0;
    }
    void read()
    {
        while (proc.canReadLine()) {
            const QList<QByteArray> w = proc.readLine().trimmed().split(' ');
            if (w.value(0) == "listening")
                port = quint16(w.value(2).toUInt());
            if (w.value(0) == "sent") {
                sentTotal = w.value(3).toLongLong();
                stateRounds += w.value(1) == "1" ? 1 : 0;
            }
        }
    }
    ~LoadGenRun()
    {
        proc.kill();
        proc.waitForFinished(3000);
    }
};

struct Window
{
    double cpuSec = 0;
    double guiCpuSec = 0;
    qint64 applyNs = 0;
    int rounds = 0;
    double wallSec = 0;
};

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 20;
    LoadGenRun gen;
    if (!gen.start()) {
        std::fprintf(stderr, "consoleloadgen did not start (TOVIA_BIN_DIR, farmsim)\n");
        return 1;
    }
    CLoginRet login;
    login.strUserName = QStringLiteral("bench");
    login.strNickName = QStringLiteral("压测");
    LoginRecord::set(login);
    CenterToolMainWnd::Options o;
    o.queryPort = gen.port;
    o.targets = {QHostAddress(QHostAddress::LocalHost)};
    o.trayIcon = false;
    CenterToolMainWnd wnd(o);
    wnd.resize(1280, 800);
    wnd.show();
    QElapsedTimer setup;
    setup.start();
    wnd.initWnd();
    auto registry = wnd.registry();
    waitUntil([&] { return registry->simuCount() >= kAgents * kSimus; }, 60000);
    std::printf("platform %s; %d PCs, %d emulators listed after %.1f s\n", qPrintable(app.platformName()),
                registry->pcCount(), registry->simuCount(), setup.elapsed() / 1000.0);
    waitUntil([&] { return wnd.reportsApplied() >= kAgents * kSimus * 2; }, 30000);

    const quint16 consolePort = wnd.udpSenderObj()->localPort();
    const auto measure = [&](int secs, const std::function<void()>& during) {
        Window w;
        const double cpu0 = processCpuSec();
        const double gui0 = threadCpuSec();
        const qint64 apply0 = wnd.reportApplyNs();
        const int rounds0 = gen.stateRounds;
        QElapsedTimer wall;
        wall.start();
        if (during)
            during();
        waitUntil([&] { return wall.hasExpired(secs * 1000); }, secs * 1000 + 1000);
        w.wallSec = wall.elapsed() / 1000.0;
        w.cpuSec = processCpuSec() - cpu0;
        w.guiCpuSec = threadCpuSec() - gui0;
        w.applyNs = wnd.reportApplyNs() - apply0;
        w.rounds = qMax(1, gen.stateRounds - rounds0);
        return w;
    };

    const Window idle = measure(seconds, nullptr);
    std::printf("steady, %d s: process CPU %.1f %% of one core; GUI thread %.1f ms CPU per 2 s round; "
                "state-report slot %.1f ms per round of %d states and thumbnails\n",
                seconds, 100.0 * idle.cpuSec / idle.wallSec, 1000.0 * idle.guiCpuSec / idle.rounds,
                idle.applyNs / 1e6 / idle.rounds, kAgents * kSimus);

    // Scrolling the tiles, with a probe of the GUI thread's lateness.
    QVector<double> lateMs;
    QElapsedTimer probeClock;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    qint64 last = 0;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = probeClock.nsecsElapsed();
        if (last)
            lateMs.append(qMax(0.0, (now - last) / 1e6 - 5.0));
        last = now;
    });
    QTimer scroller;
    QScrollBar* bar = wnd.rightScrollArea()->verticalScrollBar();
    QObject::connect(&scroller, &QTimer::timeout, [&] {
        const int next = bar->value() + 120;
        bar->setValue(next > bar->maximum() ? 0 : next);
    });
    const Window scrolling = measure(qMax(5, seconds / 2), [&] {
        probeClock.start();
        probe.start(5);
        scroller.start(16);
    });
    probe.stop();
    scroller.stop();
    std::sort(lateMs.begin(), lateMs.end());
    const auto pct = [&](double p) {
        return lateMs.isEmpty() ? 0.0 : lateMs.at(int((lateMs.size() - 1) * p));
    };
    std::printf("scrolling (height %d px): process CPU %.1f %%; GUI timer lateness p50 %.1f ms, p99 %.1f ms, "
                "max %.1f ms; GUI thread %.1f ms CPU per round\n",
                bar->maximum(), 100.0 * scrolling.cpuSec / scrolling.wallSec, pct(0.5), pct(0.99),
                lateMs.isEmpty() ? 0.0 : lateMs.last(), 1000.0 * scrolling.guiCpuSec / scrolling.rounds);

    // Replies: settle right after an answer (queries are a second apart), then count.
    const long long sentBefore = gen.sentTotal;
    waitUntil([&] { return gen.sentTotal != sentBefore; }, 3000);
    waitUntil([] { return false; }, 400);
    const long long sent = gen.sentTotal;
    const long long received = wnd.udpSenderObj()->receivedCount();
    std::printf("replies: sent %lld, received %lld, dropped by the console %lld, kernel drops %lld, "
                "malformed %lld; receive buffer %d bytes\n",
                sent, received, qMax(0LL, sent - received), kernelDrops(consolePort),
                wnd.udpSenderObj()->droppedCount(), wnd.udpSenderObj()->receiveBufferBytes());
    wnd.shutdown();
    return 0;
}
