// Console figures at LAN scale: the real main window (discovery worker, registry, device list,
// tiles, operations) against consoleloadgen answering like N agent PCs x M emulators on loopback.
//   - first heard: the longest stall of the GUI thread (how late a 5 ms timer fires) from the start
//     until every emulator is shown, and the time until the registry lists them all and until the
//     window has shown and painted them all (both lists scrolled to their ends, the clock stops at
//     the paint of the last tile and of the last row);
//   - memory: resident size once shown and after scrolling the whole tile wall through the view;
//   - CPU: the whole process in % of one core while steady; the GUI thread's share per round;
//   - responsiveness while scrolling the tiles (timer lateness p50, p99, max);
//   - replies: datagrams sent vs. received, and the kernel's drop count of the console's socket;
//     --unprivileged gives the socket the buffer a process without privileges gets (rmem_max);
//   - operations: a close of every emulator (one command per PC), the time until every PC's command
//     has arrived, the most threads the process ran meanwhile; --cmd-delay holds every command
//     connection that long on the agents' side (agents slower than the console).
// Run (X for a real paint, or offscreen):
//   TOVIA_BIN_DIR=<build>/bin xvfb-run -a -s "-screen 0 1280x800x24" <build>/bin/console_bench
//     [--agents 100] [--simus 50] [--seconds 20] [--unprivileged] [--cmd-delay 0] [--link-mbps 0]
#include "absdrawer.h"
#include "agentregistry.h"
#include "centertoolmainwnd.h"
#include "consoleopswiring.h"
#include "farmtrust.h"
#include "loginret.h"
#include "mygrpdrawer.h"
#include "udpsenderobj.h"
#include "vedioboxdrawer.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>

namespace {

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

// A field of /proc/self/status ("VmRSS" in kB, "Threads").
long long selfStatus(const char* key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith(key) && line.size() > int(qstrlen(key)) && line.at(int(qstrlen(key))) == ':')
            return line.mid(int(qstrlen(key)) + 1).simplified().split(' ').value(0).toLongLong();
    }
    return -1;
}

int rmemMax()
{
    QFile f(QStringLiteral("/proc/sys/net/core/rmem_max"));
    return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toInt() : 212992;
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

bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.hasExpired(timeoutMs))
            return false;
        QEventLoop loop; // sleeps in the event loop, so the figures are the console's, not this wait's
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

struct LoadGenRun
{
    QProcess proc;
    quint16 port = 0;
    quint16 commandPort = 0;
    long long sentTotal = 0;
    long long commands = 0;
    int stateRounds = 0;

    bool start(int agents, int simus, int cmdDelayMs, int linkMbps)
    {
        QObject::connect(&proc, &QProcess::readyReadStandardOutput, [this] { read(); });
        proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        proc.start(qEnvironmentVariable("TOVIA_BIN_DIR") + QStringLiteral("/consoleloadgen"),
                   {QStringLiteral("--agents"), QString::number(agents), QStringLiteral("--simus"),
                    QString::number(simus), QStringLiteral("--cmd-delay"), QString::number(cmdDelayMs),
                    QStringLiteral("--link-mbps"), QString::number(linkMbps)});
        waitUntil([this] { return commandPort != 0 || proc.state() == QProcess::NotRunning; }, 120000);
        return port != 0 && commandPort != 0;
    }
    void read()
    {
        while (proc.canReadLine()) {
            const QList<QByteArray> w = proc.readLine().trimmed().split(' ');
            if (w.value(0) == "listening")
                port = quint16(w.value(2).toUInt());
            if (w.value(0) == "commands")
                commandPort = quint16(w.value(2).toUInt());
            if (w.value(0) == "command")
                commands = w.value(1).toLongLong();
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

// The GUI thread's lateness: a 5 ms timer, and how much later than that each tick came.
class StallProbe
{
public:
    StallProbe()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            if (m_last)
                m_lateMs.append(qMax(0.0, (now - m_last) / 1e6 - 5.0));
            m_last = now;
        });
    }
    void start()
    {
        m_lateMs.clear();
        m_last = 0;
        m_clock.start();
        m_timer.start(5);
    }
    void stop() { m_timer.stop(); }
    double pct(double p)
    {
        std::sort(m_lateMs.begin(), m_lateMs.end());
        return m_lateMs.isEmpty() ? 0.0 : m_lateMs.at(int((m_lateMs.size() - 1) * p));
    }
    double max() { return pct(1.0); }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    QVector<double> m_lateMs;
};

// Notes when a watched widget is painted.
class PaintWatch : public QObject
{
public:
    void watch(QWidget* w)
    {
        if (w == m_pWatched)
            return;
        if (m_pWatched)
            m_pWatched->removeEventFilter(this);
        m_pWatched = w;
        m_bPainted = false;
        if (w)
            w->installEventFilter(this);
    }
    bool painted() const { return m_bPainted; }
    void rearm() { m_bPainted = false; }

protected:
    bool eventFilter(QObject* o, QEvent* e) override
    {
        if (o == m_pWatched && e->type() == QEvent::Paint)
            m_bPainted = true;
        return false;
    }

private:
    QPointer<QWidget> m_pWatched;
    bool m_bPainted = false;
};

int tileCount(CenterToolMainWnd& wnd)
{
    int n = 0;
    for (VedioBoxDrawer* d : wnd.rightGrpDrawer()->pcDrawers())
        n += d->boxCount();
    return n;
}

int rowCount(CenterToolMainWnd& wnd)
{
    int n = 0;
    for (MyDrawerEx* pc : wnd.leftGrpDrawer()->pcDrawers())
        n += pc->cells().size();
    return n;
}

// The last tile of the wall and the last row of the list, in the order they are laid out.
QWidget* lastTile(CenterToolMainWnd& wnd)
{
    const QList<AbsDrawer*> drawers = wnd.rightGrpDrawer()->drawers();
    auto* d = drawers.isEmpty() ? nullptr : qobject_cast<VedioBoxDrawer*>(drawers.last());
    return d && d->boxList().size() ? d->boxList().at(d->boxList().size() - 1) : nullptr;
}

QWidget* lastRow(CenterToolMainWnd& wnd)
{
    const QList<MyDrawerUI*> groups = wnd.leftGrpDrawer()->groups();
    for (int g = groups.size() - 1; g >= 0; --g) {
        const QStringList pcs = wnd.leftGrpDrawer()->pcsOf(groups.at(g));
        if (pcs.isEmpty())
            continue;
        MyDrawerEx* pc = wnd.leftGrpDrawer()->findPc(pcs.last());
        const QList<MyDrawerCell*> cells = pc ? pc->cells() : QList<MyDrawerCell*>();
        return cells.isEmpty() ? nullptr : cells.last();
    }
    return nullptr;
}

void scrollToEnd(MyScrollArea* area)
{
    QScrollBar* bar = area->verticalScrollBar();
    bar->setValue(bar->maximum());
}

struct Window
{
    double cpuSec = 0;
    double guiCpuSec = 0;
    qint64 applyNs = 0;
    int rounds = 0;
    double wallSec = 0;
};

// Answers every question with yes and prints every result: nothing modal in a benchmark.
class BenchDialogs : public OpsDialogs
{
public:
    QString chooseFile(const QString&) override { return QString(); }
    bool confirm(const QString&, const QString&) override { return true; }
    bool askText(const QString&, const QString&, QString&) override { return false; }
    bool askNumber(const QString&, const QString&, int&, int, int) override { return false; }
    void showResult(const CCommResult& r) override
    {
        if (++m_shown <= 5)
            std::fprintf(stderr, "result %d: %s\n", r.iRet, qUtf8Printable(r.str));
    }
    int m_shown = 0;
};

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({"agents", "agent PCs", "N", "100"});
    parser.addOption({"simus", "emulators per PC", "M", "50"});
    parser.addOption({"seconds", "length of the steady window", "S", "20"});
    parser.addOption({"cmd-delay", "ms the agents hold each command connection", "MS", "0"});
    parser.addOption({"unprivileged", "the receive buffer of a process without privileges"});
    parser.addOption(
        {"link-mbps", "the agents' answers paced to a LAN link of this speed (0: loopback speed)", "R", "0"});
    parser.addOption({"timeout", "bound of every wait, in seconds", "S", "300"});
    parser.addOption({"first-heard-only", "stop after the figures of the first hearing and memory"});
    parser.process(app);
    const int agents = parser.value("agents").toInt();
    const int simus = parser.value("simus").toInt();
    const int total = agents * simus;
    const int seconds = parser.value("seconds").toInt();
    const int timeoutMs = parser.value("timeout").toInt() * 1000;

    LoadGenRun gen;
    if (!gen.start(agents, simus, parser.value("cmd-delay").toInt(), parser.value("link-mbps").toInt())) {
        std::fprintf(stderr, "consoleloadgen did not start (TOVIA_BIN_DIR, farmsim)\n");
        return 1;
    }
    QTemporaryDir home;
    CLoginRet login;
    login.strUserName = QStringLiteral("bench");
    login.strNickName = QStringLiteral("压测");
    LoginRecord::set(login);
    FarmTrust::setAcceptUnsigned(true); // the load generator's recorded replies carry no signature
    CenterToolMainWnd::Options o;
    o.queryPort = gen.port;
    o.targets = {QHostAddress(QHostAddress::LocalHost)};
    o.trayIcon = false;
    o.limits = AgentRegistry::Limits();
    o.limits->maxPcs = qMax(o.limits->maxPcs, agents);
    if (parser.isSet("unprivileged"))
        o.discoveryBufferBytes = rmemMax();
    CenterToolMainWnd wnd(o);
    auto dialogs = std::make_shared<BenchDialogs>();
    ConsoleOpsOptions ops;
    ops.agentPort = gen.commandPort;
    ops.resultPort = 0;
    ops.dialogs = dialogs;
    ops.groupFile = home.filePath(QStringLiteral("devGroups.json"));
    attachConsoleOps(wnd, ops);
    wnd.resize(1280, 800);
    wnd.show();
    const long long threadsAtStart = selfStatus("Threads");

    // First heard: from the first query until everything is shown and painted.
    StallProbe stall;
    stall.start();
    QElapsedTimer setup;
    setup.start();
    wnd.initWnd();
    auto registry = wnd.registry();
    double listedSec = -1;
    PaintWatch tilePaint, rowPaint;
    const bool shown = waitUntil(
        [&] {
            if (listedSec < 0 && registry->simuCount() >= total)
                listedSec = setup.elapsed() / 1000.0;
            if (listedSec < 0 || tileCount(wnd) < total || rowCount(wnd) < total)
                return false;
            tilePaint.watch(lastTile(wnd));
            rowPaint.watch(lastRow(wnd));
            if (tilePaint.painted() && rowPaint.painted())
                return true;
            scrollToEnd(wnd.rightScrollArea());
            scrollToEnd(wnd.leftScrollArea());
            return false;
        },
        timeoutMs);
    const double shownSec = setup.elapsed() / 1000.0;
    stall.stop();
    std::printf("platform %s; %d PCs x %d emulators: listed after %.1f s, shown and painted after %.1f s%s; "
                "GUI stall while first heard: max %.0f ms, p99 %.0f ms\n",
                qPrintable(app.platformName()), agents, simus, listedSec, shownSec,
                shown ? "" : " (NOT all shown: timed out)", stall.max(), stall.pct(0.99));
    if (!shown)
        return 2;
    waitUntil([&] { return wnd.reportsApplied() >= qint64(total) * 2; }, timeoutMs);

    // Memory: the whole tile wall through the view, each step painted.
    const long long rssShown = selfStatus("VmRSS");
    QScrollBar* bar = wnd.rightScrollArea()->verticalScrollBar();
    const int step = qMax(1, wnd.rightScrollArea()->viewport()->height());
    for (int v = 0; v <= bar->maximum(); v += step) {
        bar->setValue(v);
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    waitUntil([] { return false; }, 300);
    std::printf("resident memory: %lld MB once shown, %lld MB after scrolling the whole wall (%d px); "
                "threads %lld\n",
                rssShown / 1024, selfStatus("VmRSS") / 1024, bar->maximum(), selfStatus("Threads"));

    if (parser.isSet("first-heard-only")) {
        wnd.shutdown();
        return 0;
    }
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

    const long long kernelDrops0 = kernelDrops(consolePort);
    const long long sent0 = gen.sentTotal;
    const long long received0 = wnd.udpSenderObj()->receivedCount();
    StallProbe steadyProbe;
    const Window idle = measure(seconds, [&] { steadyProbe.start(); });
    steadyProbe.stop();
    std::printf("steady, %d s: process CPU %.1f %% of one core; GUI thread %.1f ms CPU per 2 s round; "
                "state-report slot %.1f ms per round of %d states and thumbnails; GUI timer lateness "
                "p99 %.1f ms, max %.1f ms\n",
                seconds, 100.0 * idle.cpuSec / idle.wallSec, 1000.0 * idle.guiCpuSec / idle.rounds,
                idle.applyNs / 1e6 / idle.rounds, total, steadyProbe.pct(0.99), steadyProbe.max());

    // Scrolling the tiles, with the probe of the GUI thread's lateness.
    QTimer scroller;
    QObject::connect(&scroller, &QTimer::timeout, [&] {
        const int next = bar->value() + 120;
        bar->setValue(next > bar->maximum() ? 0 : next);
    });
    StallProbe scrollProbe;
    const Window scrolling = measure(qMax(5, seconds / 2), [&] {
        scrollProbe.start();
        scroller.start(16);
    });
    scrollProbe.stop();
    scroller.stop();
    std::printf("scrolling: process CPU %.1f %%; GUI timer lateness p50 %.1f ms, p99 %.1f ms, max %.1f ms; "
                "GUI thread %.1f ms CPU per round\n",
                100.0 * scrolling.cpuSec / scrolling.wallSec, scrollProbe.pct(0.5), scrollProbe.pct(0.99),
                scrollProbe.max(), 1000.0 * scrolling.guiCpuSec / scrolling.rounds);

    // Replies: settle right after an answer (queries are a second apart), then count.
    const long long sentBefore = gen.sentTotal;
    waitUntil([&] { return gen.sentTotal != sentBefore; }, 3000);
    waitUntil([] { return false; }, 400);
    const long long sent = gen.sentTotal - sent0;
    const long long received = wnd.udpSenderObj()->receivedCount() - received0;
    std::printf(
        "replies (steady and scrolling): sent %lld, received %lld, lost %lld (%.2f %%), kernel drops "
        "%lld; malformed %lld; receive buffer %d bytes%s\n",
        sent, received, qMax(0LL, sent - received), sent ? 100.0 * qMax(0LL, sent - received) / sent : 0.0,
        kernelDrops(consolePort) - kernelDrops0, wnd.udpSenderObj()->droppedCount(),
        wnd.udpSenderObj()->receiveBufferBytes(), parser.isSet("unprivileged") ? " (unprivileged)" : "");
    if (parser.value("link-mbps").toInt() > 0)
        std::printf("(the agents' answers paced to a %d Mbit/s link)\n", parser.value("link-mbps").toInt());

    // Operations: every emulator ticked, "关闭" chosen: one command per PC.
    for (const struPcEntry& pc : registry->snapshot()) {
        for (const struSimuRow& r : pc.rows)
            registry->setChecked(pc.pcName, r.memuIdx, true);
    }
    long long peakThreads = selfStatus("Threads");
    QTimer threadSampler;
    QObject::connect(&threadSampler, &QTimer::timeout,
                     [&] { peakThreads = qMax(peakThreads, selfStatus("Threads")); });
    threadSampler.start(10);
    StallProbe opProbe;
    opProbe.start();
    QElapsedTimer opClock;
    opClock.start();
    wnd.slDrawerCellMenuTriggered(1);
    const double dispatchMs = opClock.nsecsElapsed() / 1e6;
    const bool delivered = waitUntil([&] { return gen.commands >= agents; }, timeoutMs);
    const double deliveredSec = opClock.elapsed() / 1000.0;
    waitUntil([] { return false; }, 500);
    threadSampler.stop();
    opProbe.stop();
    std::printf("operation to %d PCs: menu call %.0f ms, %lld commands arrived after %.2f s%s; GUI stall max "
                "%.0f ms; threads: %lld at start, at most %lld during the deliveries, %lld after\n",
                agents, dispatchMs, gen.commands, deliveredSec, delivered ? "" : " (timed out)",
                opProbe.max(), threadsAtStart, peakThreads, selfStatus("Threads"));
    wnd.shutdown();
    return 0;
}
