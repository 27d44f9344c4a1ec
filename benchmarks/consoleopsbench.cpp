// Console operation figures, measured over loopback in one run:
//  1. a 200 MB APK streamed by the console's install manager, next to raw loopback TCP of the same
//     size measured in the same run: to a sink that drops the bytes, and to the agent's real command
//     server (which writes the file), next to raw loopback TCP into a receiver that writes a file
//     (the ceiling for an agent). The streaming rate (file pause 0) and the whole operation with the
//     protocol's fixed pause between document and file are printed apart; the console's peak memory
//     for a 20 MB and a 200 MB file;
//  2. one APK installed to 50 emulators of one PC: bytes the console sent against the file size;
//  3. 100 agents reporting a start with its thumbnail at once: all received, time to drain.
// Run: TOVIA_BIN_DIR=<build>/bin <build>/bin/consoleops_bench [--transfer-only] [--runs N]
#include "clientnetoperobj.h"
#include "consoleharness.h"
#include "farmfixture.h"
#include "installrspsormgr.h"
#include "jsoncodec.h"
#include "loginret.h"
#include "loopback.h"
#include "notifierrun.h"
#include "opergrpsimumgr.h"
#include "simusettings.h"
#include "taskresultrcver.h"
#include "thumbnail.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

int g_runs = 5;

// Peak resident memory since the last reset, in kB (Linux).
qint64 peakRssKb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// Sets the peak back to the current resident size; false when the system does not allow it (the
// growth figures are then meaningless).
bool resetPeakRss()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1 && f.flush();
}

QString makeFile(const QTemporaryDir& dir, qint64 size)
{
    const QString path = dir.filePath(QStringLiteral("bench%1.apk").arg(size));
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    const QByteArray block(kMB, 'A');
    for (qint64 done = 0; done < size; done += block.size())
        f.write(block.constData(), qMin<qint64>(block.size(), size - done));
    return path;
}

// The figures of one line over the runs.
struct Series
{
    std::vector<double> mbs, ms, cpu;
    void add(const Timing& t, qint64 size)
    {
        if (t.secs <= 0)
            return;
        mbs.push_back(t.rate(size));
        ms.push_back(t.secs * 1e3);
        cpu.push_back(t.cpuMs);
    }
    double rate() const { return median(mbs); }
};

DevOperData installData(const QString& path, quint16 port, const QStringList& targets)
{
    DevOperData d;
    d.iOperType = 2;
    d.memuIdxs = targets;
    d.ipAddr = QStringLiteral("127.0.0.1");
    d.nickName = QStringLiteral("bench");
    d.pcName = QStringLiteral("bench-pc");
    d.strArg = path;
    d.port = port;
    d.iExtra = int(QFileInfo(path).size());
    d.iTime = 1;
    return d;
}

DevOperData installData(const QString& path, quint16 port, const QStringList& targets, int filePauseMs)
{
    DevOperData d = installData(path, port, targets);
    d.filePauseMs = filePauseMs;
    return d;
}

// The console's install manager streaming to a sink.
Timing consoleToSink(const QString& path, qint64 size, int filePauseMs,
                     const SinkOptions& options = SinkOptions())
{
    return timedWithSink(
        [&](quint16 port) {
            OperGrpSimuInstallMgr mgr(installData(path, port, {QStringLiteral("0")}, filePauseMs));
            mgr.Run();
        },
        size, options);
}

// The peak memory growth while the console streams a file (kB), the sink's buffers already in
// place and bounded; -1 when it cannot be measured.
qint64 consolePeakGrowthKb(const QString& path, qint64 size)
{
    bool reset = false;
    qint64 before = 0;
    SinkOptions options;
    options.readBufferSize = kBlock;
    options.atStart = [&] {
        reset = resetPeakRss();
        before = peakRssKb();
    };
    const Timing t = consoleToSink(path, size, 0, options);
    return reset && t.secs > 0 ? peakRssKb() - before : -1;
}

// A TaskResultRcver on its own thread.
struct Receiver
{
    QThread thread;
    TaskResultRcver* pRcver = new TaskResultRcver(0);
    quint16 port = 0;
    std::atomic<int> states{0}, images{0}, installs{0};

    bool start()
    {
        pRcver->moveToThread(&thread);
        QObject::connect(&thread, &QThread::started, pRcver, &TaskResultRcver::slInitSocket);
        QObject::connect(&thread, &QThread::finished, pRcver, &QObject::deleteLater);
        QObject::connect(
            pRcver, &TaskResultRcver::sigSetState, pRcver, [this](QString, QString, int, int) { ++states; },
            Qt::DirectConnection);
        QObject::connect(
            pRcver, &TaskResultRcver::sigTskRstRcverImageArrived, pRcver,
            [this](QString, QString, QImage* p) {
                delete p;
                ++images;
            },
            Qt::DirectConnection);
        QObject::connect(
            pRcver, &TaskResultRcver::sigInstallState, pRcver,
            [this](QString, QString, int, int) { ++installs; }, Qt::DirectConnection);
        QSignalSpy listening(pRcver, &TaskResultRcver::sigListening);
        thread.start();
        if (listening.isEmpty() && !listening.wait(5000))
            return false;
        port = listening.first().first().value<quint16>();
        return port != 0;
    }
    ~Receiver()
    {
        thread.quit();
        thread.wait();
    }
};

bool waitFor(const std::function<bool()>& done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QTest::qWait(2);
    return done();
}

// The console's install manager to the agent's command server, in this process; the agent writes
// the file as it receives it. Timed from the start of the operation to the agent's report.
class AgentRig
{
public:
    explicit AgentRig(const QString& home)
    {
        SimuSettings::setDataDir(home);
        SimuSettings::setSimuType(0); // no product: the install ends at once, the figure is the transfer
        QDir(home).mkpath(QStringLiteral("dwn"));
    }
    bool start()
    {
        if (!m_rcv.start())
            return false;
        SimuTcpRcvObj::Options agentOptions;
        agentOptions.notifier.resultPort = m_rcv.port;
        m_pAgent.reset(new AgentCommandServer(agentOptions));
        return m_pAgent->start();
    }
    // With filePauseMs 0 the file follows the document at once: this agent reads the document by
    // its end and keeps the bytes behind it, so this measures the stream alone. The product keeps
    // the pause (older agents need it); the "whole" line is the operation as it really runs.
    Timing install(const QString& path, qint64 size, int filePauseMs)
    {
        // Each run writes a new rcv.apk: removing the last one (and its pending write-back) here,
        // outside the clock, keeps one run's disk work out of the next one's figure.
        QFile::remove(InstallRspsorMgr::ReceivedApkPath());
        const int reportsBefore = m_rcv.installs.load();
        Timing t;
        const double cpu0 = processCpuMs();
        QElapsedTimer clock;
        clock.start();
        OperGrpSimuInstallMgr mgr(installData(path, m_pAgent->port(), {QStringLiteral("0")}, filePauseMs));
        const CCommResult r = mgr.Run();
        if (!r.ok() || !waitFor([&] { return m_rcv.installs.load() == reportsBefore + 1; }, 120000)) {
            std::printf("  (console -> agent failed: %d %s %s; reports %d)\n", r.iRet, qPrintable(r.str),
                        qPrintable(r.log), m_rcv.installs.load() - reportsBefore);
            return t;
        }
        t.secs = clock.nsecsElapsed() / 1e9;
        t.cpuMs = processCpuMs() - cpu0;
        if (QFileInfo(InstallRspsorMgr::ReceivedApkPath()).size() != size) {
            std::printf("  (console -> agent: rcv.apk has %lld bytes, not %lld)\n",
                        QFileInfo(InstallRspsorMgr::ReceivedApkPath()).size(), size);
            t.secs = -1;
        }
        return t;
    }

private:
    Receiver m_rcv;
    std::unique_ptr<AgentCommandServer> m_pAgent;
};

// Raw loopback TCP into a receiver that writes the file beside the agent's rcv.apk, a new file each
// run as the agent's: the most an agent that stores the file can take.
Timing rawToFile(qint64 size)
{
    const QString path = QFileInfo(InstallRspsorMgr::ReceivedApkPath()).dir().filePath("ceiling.bin");
    QFile::remove(path);
    SinkOptions options;
    options.filePath = path;
    return timedWithSink([&](quint16 port) { rawSendUnbuffered(port, size); }, size, options);
}

void fiftyEmulators(const QTemporaryDir& dir)
{
    FarmFixture farm;
    if (!farm.init(FarmFixture::LdPlayer, 50)) {
        std::printf("  (skipped: %s)\n", qPrintable(farm.error()));
        return;
    }
    farm.setKnob(QStringLiteral("bootDelayMs"), QStringLiteral("0"));
    QStringList targets;
    for (int i = 0; i < 50; ++i)
        targets << QString::number(i);
    for (const QString& idx : targets)
        farm.startInstance(idx, 20000);
    const QString path = makeFile(dir, 20 * kMB);
    Receiver rcv;
    if (!rcv.start())
        return;
    SimuTcpRcvObj::Options agentOptions;
    agentOptions.notifier.resultPort = rcv.port;
    AgentCommandServer agent(agentOptions);
    if (!agent.start())
        return;
    QElapsedTimer clock;
    clock.start();
    OperGrpSimuInstallMgr mgr(installData(path, agent.port(), targets));
    const bool sent = mgr.Run().ok();
    const double sendMs = clock.elapsed();
    const bool all = sent && waitFor([&] { return rcv.installs.load() == 50; }, 300000);
    std::printf("  20 MB APK to 50 emulators: console sent %.2f MB (file %.2f MB, ratio %.4f) in %.0f ms;\n"
                "    %d of 50 results in %.1f s\n",
                mgr.BytesSent() / double(kMB), 20.0, mgr.BytesSent() / double(20 * kMB), sendMs,
                rcv.installs.load(), clock.elapsed() / 1000.0);
    Q_UNUSED(all);
}

// Agents report a successful start as the agent does: the document, 100 ms, the thumbnail, close.
class Reporters : public QObject
{
public:
    void run(quint16 port, int n)
    {
        const QByteArray jpeg = Thumbnail::encodeJpeg(QImage(100, 150, QImage::Format_RGB32));
        for (int i = 0; i < n; ++i) {
            auto* s = new QTcpSocket(this);
            struSimuOper o;
            o.iOperType = 0;
            o.iReplyRet = 0;
            o.memuIdx = QString::number(i);
            o.rmtPcName = QStringLiteral("pc%1").arg(i);
            const QByteArray doc = JsonCodec::serializeCommandDoc({o}, QStringLiteral("bench"));
            connect(s, &QTcpSocket::connected, s, [s, doc, jpeg] {
                s->write(doc);
                QTimer::singleShot(100, s, [s, jpeg] {
                    s->write(jpeg);
                    s->disconnectFromHost();
                });
            });
            s->connectToHost(QHostAddress::LocalHost, port);
        }
    }
};

void hundredAgents()
{
    Receiver rcv;
    if (!rcv.start())
        return;
    QThread thread;
    Reporters reporters;
    reporters.moveToThread(&thread);
    thread.start();
    QElapsedTimer clock;
    clock.start();
    QMetaObject::invokeMethod(&reporters, [&] { reporters.run(rcv.port, 100); });
    waitFor([&] { return rcv.states.load() == 100 && rcv.images.load() == 100; }, 60000);
    std::printf(
        "  100 agents reporting a start with thumbnail at once: %d states, %d pictures, drained in "
        "%.0f ms\n    (each report holds its connection >= 100 ms; one at a time would take >= 10 s)\n",
        rcv.states.load(), rcv.images.load(), double(clock.elapsed()));
    QMetaObject::invokeMethod(
        &reporters, [&] { reporters.moveToThread(QCoreApplication::instance()->thread()); },
        Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
}

double best(const std::vector<double>& v)
{
    return v.empty() ? -1 : *std::max_element(v.begin(), v.end());
}

void printLine(const QString& label, const Series& s, double raw, double ceiling = 0)
{
    std::printf("  %-58s %7.1f %7.1f %6.0f %6.0f  %.2f x raw", qPrintable(label), s.rate(), best(s.mbs),
                median(s.ms), median(s.cpu), s.rate() / raw);
    if (ceiling > 0)
        std::printf(", %.2f x ceiling", s.rate() / ceiling);
    std::printf("\n");
}

// The most a transfer that waits `pauseMs` before streaming at `rate` can reach, as MB/s.
double withPause(double rate, qint64 size, int pauseMs)
{
    const double mb = size / double(kMB);
    return mb / (mb / rate + pauseMs / 1e3);
}

void transfer(const QTemporaryDir& dir)
{
    const qint64 big = 200 * kMB, small = 20 * kMB;
    const QString bigFile = makeFile(dir, big), smallFile = makeFile(dir, small);
    const int pauseMs = DevOperData().filePauseMs;
    QTemporaryDir home;
    AgentRig agent(home.path());
    if (!agent.start()) {
        std::printf("  (agent did not start)\n");
        return;
    }

    Series rawBuf, rawUnbuf, sinkStream, sinkWhole, ceiling, agentStream, agentWhole;
    for (int i = 0; i < g_runs; ++i) {
        rawBuf.add(timedWithSink([&](quint16 port) { rawSendBuffered(port, big); }, big), big);
        rawUnbuf.add(timedWithSink([&](quint16 port) { rawSendUnbuffered(port, big); }, big), big);
        sinkStream.add(consoleToSink(bigFile, big, 0), big);
        sinkWhole.add(consoleToSink(bigFile, big, pauseMs), big);
        ceiling.add(rawToFile(big), big);
        agentStream.add(agent.install(bigFile, big, 0), big);
        agentWhole.add(agent.install(bigFile, big, pauseMs), big);
    }
    const double raw = std::max(rawBuf.rate(), rawUnbuf.rate());
    const double ceil = ceiling.rate();
    std::printf(
        "APK transfer over loopback, %lld MB, %d interleaved runs; MB/s median and best, wall ms and\n"
        "CPU ms of the whole process (sender, receiver, agent) median; raw = the faster raw line.\n"
        "\"pause 0\" is the stream rate; \"whole\" is the real operation with the fixed %d ms pause\n"
        "between document and file:\n",
        big / kMB, g_runs, pauseMs);
    std::printf("  %-58s %7s %7s %6s %6s\n", "", "MB/s", "best", "ms", "cpu");
    printLine(QStringLiteral("raw loopback TCP, Qt buffered 64 KB writes"), rawBuf, raw);
    printLine(QStringLiteral("raw loopback TCP, unbuffered 1 MB writes"), rawUnbuf, raw);
    printLine(QStringLiteral("console install -> sink, pause 0"), sinkStream, raw);
    printLine(QStringLiteral("console install -> sink, whole (%1 ms pause)").arg(pauseMs), sinkWhole, raw);
    std::printf("    (with the pause at most %.2f x raw at this size)\n", withPause(raw, big, pauseMs) / raw);
    printLine(QStringLiteral("raw loopback TCP + file write (ceiling for an agent)"), ceiling, raw);
    printLine(QStringLiteral("console -> agent, to its report, pause 0"), agentStream, raw, ceil);
    printLine(QStringLiteral("console -> agent, to its report, whole (%1 ms pause)").arg(pauseMs), agentWhole,
              raw, ceil);
    std::printf("    (with the pause at most %.2f x ceiling; the agent writes the file to disk as it\n"
                "    receives it, the ceiling line is raw TCP into a receiver writing the same file)\n",
                withPause(ceil, big, pauseMs) / ceil);
    const qint64 growSmall = consolePeakGrowthKb(smallFile, small);
    const qint64 growBig = consolePeakGrowthKb(bigFile, big);
    if (growSmall < 0 || growBig < 0)
        std::printf("  console peak memory growth: not measurable here (no /proc/self/clear_refs)\n");
    else
        std::printf(
            "  console peak memory growth while streaming: %lld kB for %lld MB, %lld kB for %lld MB\n",
            growSmall, small / kMB, growBig, big / kMB);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
        if (type >= QtCriticalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(msg));
    });
    signIn(QStringLiteral("bench"));
    const QStringList args = app.arguments();
    const int runsAt = args.indexOf(QStringLiteral("--runs"));
    if (runsAt > 0 && runsAt + 1 < args.size())
        g_runs = qMax(1, args.at(runsAt + 1).toInt());
    QTemporaryDir dir;
    transfer(dir);
    std::fflush(stdout);
    if (args.contains(QStringLiteral("--transfer-only")))
        return 0;

    std::printf("Install to 50 emulators of one PC:\n");
    fiftyEmulators(dir);
    std::fflush(stdout);
    std::printf("Result server:\n");
    hundredAgents();
    return 0;
}
